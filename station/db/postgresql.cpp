// The PostgreSQL database, through libpq: the server a factory's stations share.
#include <libpq-fe.h>

#include "backends.h"

namespace halyard::station::db {

namespace {

// libpq's messages end in a line break and may hold several lines: one line for ours.
std::string OneLine(const char* message) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            line += "; ";
            while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) {
                ++i;
            }
        } else {
            line += text[i] == '\t' ? ' ' : text[i];
        }
    }
    return line.empty() ? "unknown error" : line;
}

void IgnoreNotice(void*, const char*) {}

class PostgresqlDatabase : public Database {
  public:
    explicit PostgresqlDatabase(PGconn* connection) : mConnection(connection) {}
    ~PostgresqlDatabase() override { PQfinish(mConnection); }
    PostgresqlDatabase(const PostgresqlDatabase&) = delete;
    PostgresqlDatabase& operator=(const PostgresqlDatabase&) = delete;

    DatabaseUrl::Kind Kind() const override { return DatabaseUrl::Kind::Postgresql; }
    using Database::Execute;

    bool Execute(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                 std::string& error) override {
        PGresult* result;
        if (params.empty()) {
            // Several statements in one text (the schema) go only this way.
            result = PQexec(mConnection, sql.c_str());
        } else {
            std::vector<const char*> values;
            for (const Value& param : params) {
                values.push_back(param ? param->c_str() : nullptr);
            }
            result = PQexecParams(mConnection, sql.c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0);
        }
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            error = OneLine(result ? PQresultErrorMessage(result) : PQerrorMessage(mConnection));
        } else if (rows && status == PGRES_TUPLES_OK) {
            const int count = PQntuples(result);
            const int columns = PQnfields(result);
            for (int r = 0; r < count; ++r) {
                Row row;
                for (int c = 0; c < columns; ++c) {
                    row.push_back(PQgetisnull(result, r, c) ? Value()
                                                            : Value(PQgetvalue(result, r, c)));
                }
                rows->push_back(std::move(row));
            }
        }
        PQclear(result);
        return ok;
    }

    bool BeginWrite(std::string& error) override { return Execute("BEGIN", error); }

  private:
    PGconn* mConnection;
};

}  // namespace

std::unique_ptr<Database> ConnectPostgresql(const std::string& uri, std::string& error) {
    // A server that does not answer is given up after a few seconds (the URI may set its own
    // connect_timeout, which comes later and so wins); the records wait in the spool meanwhile.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "halyard-cli", uri.c_str(), nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    if (!connection) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        error = OneLine(PQerrorMessage(connection));
        PQfinish(connection);
        return nullptr;
    }
    // "already exists, skipping" and the like would otherwise reach standard error.
    PQsetNoticeProcessor(connection, IgnoreNotice, nullptr);
    return std::make_unique<PostgresqlDatabase>(connection);
}

}  // namespace halyard::station::db
