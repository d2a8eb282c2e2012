// The two kinds of database, made by Database::Connect.
#pragma once

#include "database.h"

namespace halyard::station::db {

std::unique_ptr<Database> ConnectSqlite(const std::string& path, std::string& error);
std::unique_ptr<Database> ConnectPostgresql(const std::string& uri, std::string& error);

}  // namespace halyard::station::db
