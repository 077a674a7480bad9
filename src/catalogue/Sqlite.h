// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <sqlite3.h>

// A thin owner of SQLite's C handles for the catalogue: a connection, prepared statements and a
// transaction guard. Nothing here throws; every failure is a result code, and errorText() says what
// went wrong. A connection is used by one thread at a time.
namespace Sqlite {

struct CloseConnection
{
    void operator()(sqlite3* db) const
    {
        sqlite3_close_v2(db);
    }
};

struct FinalizeStatement
{
    void operator()(sqlite3_stmt* statement) const
    {
        sqlite3_finalize(statement);
    }
};

class Statement;

class Connection
{
public:
    // flags as for sqlite3_open_v2. Foreign keys are switched on and the busy timeout set; on failure
    // the connection stays invalid and lastCode() tells why.
    static Connection open(const QByteArray& file, int flags, int busyTimeoutMs);

    bool isValid() const
    {
        return m_db != nullptr;
    }
    sqlite3* handle() const
    {
        return m_db.get();
    }
    int lastCode() const
    {
        return m_openCode != SQLITE_OK ? m_openCode : sqlite3_errcode(m_db.get());
    }
    QString errorText() const;

    // Runs one or more statements without results. False on the first failure.
    bool exec(const char* sql);
    Statement prepare(const char* sql);
    // The first column of the first row of a query, as an integer; nothing on failure.
    std::optional<qint64> queryInt(const char* sql);

private:
    std::unique_ptr<sqlite3, CloseConnection> m_db;
    int m_openCode = SQLITE_OK;
};

class Statement
{
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* statement)
        : m_statement(statement)
    { }

    bool isValid() const
    {
        return m_statement != nullptr;
    }

    // Parameters are numbered from 1, as in SQL. Null optionals bind NULL.
    Statement& bind(int index, qint64 value);
    Statement& bind(int index, int value)
    {
        return bind(index, qint64(value));
    }
    Statement& bind(int index, double value);
    Statement& bind(int index, const QString& text);
    Statement& bindBlob(int index, const QByteArray& bytes);
    Statement& bindNull(int index);
    template <typename T> Statement& bind(int index, const std::optional<T>& value)
    {
        return value ? bind(index, *value) : bindNull(index);
    }

    // SQLITE_ROW, SQLITE_DONE or an error code. run() steps once and resets, for statements without
    // results; it is true when the statement completed.
    int step();
    bool run();
    void reset();

    bool isNull(int column) const;
    qint64 integer(int column) const;
    double real(int column) const;
    QString text(int column) const;
    std::optional<QString> optionalText(int column) const;
    QByteArray blob(int column) const;

private:
    std::unique_ptr<sqlite3_stmt, FinalizeStatement> m_statement;
};

// BEGIN IMMEDIATE on construction, so a second writer waits for the busy timeout at the start instead
// of failing when it upgrades; ROLLBACK on destruction unless commit() succeeded.
class Transaction
{
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool isActive() const
    {
        return m_isActive;
    }
    bool commit();

private:
    Connection& m_connection;
    bool m_isActive = false;
};

} // namespace Sqlite
