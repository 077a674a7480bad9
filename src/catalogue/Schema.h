// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Sqlite.h"

// The catalogue's tables and the steps that bring an older database up to date. The version lives in
// PRAGMA user_version: 0 is an empty database, each step adds one. Runs on whichever thread opens
// the database, before any reader or writer uses it.
namespace Catalogue::Schema {

int currentVersion();

// Runs the steps from the database's version up to target, each in its own transaction together with
// its new version number, so a failure leaves the last complete version behind. False on failure, or
// when the database is newer than target.
bool migrate(Sqlite::Connection& db, int target = currentVersion());

} // namespace Catalogue::Schema
