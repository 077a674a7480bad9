// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Sqlite.h"

namespace Sqlite {

Connection Connection::open(const QByteArray& file, int flags, int busyTimeoutMs)
{
    Connection connection;
    sqlite3* db = nullptr;
    // sqlite3_open_v2 hands back a handle even when it fails; it must be closed all the same.
    const int code = sqlite3_open_v2(file.constData(), &db, flags, nullptr);
    if (code != SQLITE_OK) {
        sqlite3_close_v2(db);
        connection.m_openCode = code;
        return connection;
    }
    connection.m_db.reset(db);
    sqlite3_extended_result_codes(db, 0);
    sqlite3_busy_timeout(db, busyTimeoutMs);
    if (!connection.exec("PRAGMA foreign_keys = ON")) {
        connection.m_openCode = sqlite3_errcode(db);
        connection.m_db.reset();
    }
    return connection;
}

QString Connection::errorText() const
{
    if (!m_db)
        return QString::fromUtf8(sqlite3_errstr(m_openCode));
    return QString::fromUtf8(sqlite3_errmsg(m_db.get()));
}

bool Connection::exec(const char* sql)
{
    return m_db && sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Statement Connection::prepare(const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    if (!m_db
        || sqlite3_prepare_v3(m_db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr)
            != SQLITE_OK)
        return Statement();
    return Statement(statement);
}

std::optional<qint64> Connection::queryInt(const char* sql)
{
    Statement statement = prepare(sql);
    if (!statement.isValid() || statement.step() != SQLITE_ROW)
        return std::nullopt;
    return statement.integer(0);
}

Statement& Statement::bind(int index, qint64 value)
{
    sqlite3_bind_int64(m_statement.get(), index, value);
    return *this;
}

Statement& Statement::bind(int index, double value)
{
    sqlite3_bind_double(m_statement.get(), index, value);
    return *this;
}

Statement& Statement::bind(int index, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text64(
        m_statement.get(), index, utf8.constData(), quint64(utf8.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

Statement& Statement::bindBlob(int index, const QByteArray& bytes)
{
    // An empty QByteArray may have no data pointer, which SQLite would store as NULL.
    static const char empty = 0;
    sqlite3_bind_blob64(m_statement.get(), index, bytes.isEmpty() ? &empty : bytes.constData(),
        quint64(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bindNull(int index)
{
    sqlite3_bind_null(m_statement.get(), index);
    return *this;
}

int Statement::step()
{
    return m_statement ? sqlite3_step(m_statement.get()) : SQLITE_MISUSE;
}

bool Statement::run()
{
    const int code = step();
    reset();
    return code == SQLITE_DONE || code == SQLITE_ROW;
}

void Statement::reset()
{
    if (!m_statement)
        return;
    sqlite3_reset(m_statement.get());
    sqlite3_clear_bindings(m_statement.get());
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL;
}

qint64 Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement.get(), column);
}

double Statement::real(int column) const
{
    return sqlite3_column_double(m_statement.get(), column);
}

QString Statement::text(int column) const
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_statement.get(), column));
}

std::optional<QString> Statement::optionalText(int column) const
{
    if (isNull(column))
        return std::nullopt;
    return text(column);
}

QByteArray Statement::blob(int column) const
{
    const auto* data = static_cast<const char*>(sqlite3_column_blob(m_statement.get(), column));
    return QByteArray(data, sqlite3_column_bytes(m_statement.get(), column));
}

Transaction::Transaction(Connection& connection)
    : m_connection(connection)
{
    m_isActive = m_connection.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (m_isActive)
        m_connection.exec("ROLLBACK");
}

bool Transaction::commit()
{
    if (!m_isActive || !m_connection.exec("COMMIT"))
        return false;
    m_isActive = false;
    return true;
}

} // namespace Sqlite
