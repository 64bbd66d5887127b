#pragma once

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// A failure of the database or of the connection to it.
class PgError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PgResultFree {
    void operator()(PGresult* result) const { PQclear(result); }
};
struct PgConnFinish {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};

// Parameters of one statement, all sent in binary: bytes as they are (bytea or text), integers
// as int8, so no value is ever quoted or parsed as text.
class PgParams {
public:
    PgParams& bytes(std::string_view value); // bytea
    PgParams& text(std::string_view value);  // text: must be valid in the database's encoding
    PgParams& int64(int64_t value);          // int8
    PgParams& boolean(bool value);           // bool
    PgParams& bytesOrNull(std::optional<std::string_view> value);
    // One-dimensional arrays, for statements over many rows at once (unnest): bytea[] (an
    // element without a value is NULL), text[] and int8[].
    PgParams& bytesArray(const std::vector<std::optional<std::string_view>>& values);
    PgParams& textArray(const std::vector<std::string_view>& values);
    PgParams& int64Array(const std::vector<int64_t>& values);

    int count() const { return static_cast<int>(values_.size()); }
    const Oid* types() const { return types_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }
    // Pointers into this object: valid while it lives unchanged.
    std::vector<const char*> pointers() const;

private:
    PgParams& add(Oid type, std::optional<std::string> value);
    std::vector<std::optional<std::string>> values_;
    std::vector<Oid> types_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
};

// A result with its columns in binary form, read by type.
class PgResult {
public:
    explicit PgResult(std::unique_ptr<PGresult, PgResultFree> result)
        : result_(std::move(result)) {}
    int rows() const { return PQntuples(result_.get()); }
    bool isNull(int row, int column) const { return PQgetisnull(result_.get(), row, column); }
    std::string bytes(int row, int column) const;
    // int2, int4 or int8.
    int64_t int64(int row, int column) const;
    bool boolean(int row, int column) const;

private:
    std::unique_ptr<PGresult, PgResultFree> result_;
};

// One statement of a pipeline.
struct PgStatement {
    const char* sql;
    PgParams params;
};

// One libpq connection. Not thread-safe: one thread at a time (PgPool hands them out).
class PgConnection {
public:
    // Connects with a libpq URI (its password, PGPASSWORD or ~/.pgpass, as libpq reads them)
    // and makes every commit wait for the disk. Throws PgError.
    static std::unique_ptr<PgConnection> open(const std::string& uri);
    explicit PgConnection(std::unique_ptr<PGconn, PgConnFinish> conn) : conn_(std::move(conn)) {}

    // One statement with binary parameters and results. Throws PgError.
    PgResult exec(const char* sql, const PgParams& params = {});
    // Statements without parameters, several allowed (schema changes). Throws PgError.
    void run(const std::string& sql);
    // The statements sent at once in libpq's pipeline mode, answered after one round trip.
    // Throws PgError at the first that failed; the ones after it were not run.
    std::vector<PgResult> pipeline(const std::vector<PgStatement>& statements);

    // False once the connection is lost; a pool drops it then.
    bool usable() const;
    PGconn* raw() { return conn_.get(); }

private:
    std::unique_ptr<PGconn, PgConnFinish> conn_;
    // Statements prepared on this connection, by their text.
    std::map<std::string, std::string, std::less<>> prepared_;
    size_t next_name_ = 0;
};

// A transaction on a connection: rolled back when left without commit().
class PgTransaction {
public:
    explicit PgTransaction(PgConnection& conn);
    ~PgTransaction();
    PgTransaction(const PgTransaction&) = delete;
    PgTransaction& operator=(const PgTransaction&) = delete;
    void commit();

private:
    PgConnection& conn_;
    bool done_ = false;
};

// Connections to one database for any number of threads, opened when first needed, at most
// `capacity` at once; a thread wanting one more waits. Lost connections are replaced.
class PgPool {
public:
    PgPool(std::string uri, size_t capacity) : uri_(std::move(uri)), capacity_(capacity) {}

    class Lease {
    public:
        Lease(PgPool& pool, std::unique_ptr<PgConnection> conn)
            : pool_(&pool), conn_(std::move(conn)) {}
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        PgConnection& operator*() { return *conn_; }
        PgConnection* operator->() { return conn_.get(); }

    private:
        PgPool* pool_;
        std::unique_ptr<PgConnection> conn_;
    };
    // Throws PgError when no connection can be opened.
    Lease lease();

private:
    void giveBack(std::unique_ptr<PgConnection> conn);

    std::string uri_;
    size_t capacity_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<PgConnection>> idle_;
    size_t open_ = 0;
};

} // namespace velmo::server
