#include "store/postgres/pg_connection.h"

#include <algorithm>
#include <cstring>

namespace velmo::server {

namespace {

// Type OIDs of the built-in types we bind; fixed in every PostgreSQL release.
constexpr Oid BoolOid = 16;
constexpr Oid ByteaOid = 17;
constexpr Oid Int8Oid = 20;
constexpr Oid TextOid = 25;
constexpr Oid ByteaArrayOid = 1001;
constexpr Oid TextArrayOid = 1009;
constexpr Oid Int8ArrayOid = 1016;

std::string errorOf(PGconn* conn) {
    std::string message = conn ? PQerrorMessage(conn) : "out of memory";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

std::string bigEndian(uint64_t value, size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[size - 1 - i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    return out;
}

// PostgreSQL's binary form of a one-dimensional array: dimensions, a null flag, the element
// type, then each element's length (-1 for NULL) and bytes.
class ArrayWriter {
public:
    ArrayWriter(Oid element, size_t count, bool has_null) {
        put(count == 0 ? 0 : 1);
        put(has_null ? 1 : 0);
        put(element);
        if (count > 0) {
            put(static_cast<uint32_t>(count));
            put(1); // lower bound
        }
    }
    void element(std::optional<std::string_view> value) {
        if (!value) {
            put(0xFFFFFFFFu);
            return;
        }
        put(static_cast<uint32_t>(value->size()));
        out_.append(*value);
    }
    std::string take() { return std::move(out_); }

private:
    void put(uint32_t value) { out_ += bigEndian(value, 4); }
    std::string out_;
};

bool succeeded(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

} // namespace

PgParams& PgParams::add(Oid type, std::optional<std::string> value) {
    lengths_.push_back(value ? static_cast<int>(value->size()) : 0);
    values_.push_back(std::move(value));
    types_.push_back(type);
    formats_.push_back(1);
    return *this;
}

PgParams& PgParams::bytes(std::string_view value) {
    return add(ByteaOid, std::string(value));
}

PgParams& PgParams::text(std::string_view value) {
    return add(TextOid, std::string(value));
}

PgParams& PgParams::int64(int64_t value) {
    return add(Int8Oid, bigEndian(static_cast<uint64_t>(value), 8));
}

PgParams& PgParams::boolean(bool value) {
    return add(BoolOid, std::string(1, value ? '\1' : '\0'));
}

PgParams& PgParams::bytesOrNull(std::optional<std::string_view> value) {
    return add(ByteaOid, value ? std::optional<std::string>(*value) : std::nullopt);
}

PgParams& PgParams::bytesArray(const std::vector<std::optional<std::string_view>>& values) {
    const bool has_null =
        std::any_of(values.begin(), values.end(), [](const auto& v) { return !v.has_value(); });
    ArrayWriter array(ByteaOid, values.size(), has_null);
    for (const auto& value : values) {
        array.element(value);
    }
    return add(ByteaArrayOid, array.take());
}

PgParams& PgParams::textArray(const std::vector<std::string_view>& values) {
    ArrayWriter array(TextOid, values.size(), false);
    for (const std::string_view value : values) {
        array.element(value);
    }
    return add(TextArrayOid, array.take());
}

PgParams& PgParams::int64Array(const std::vector<int64_t>& values) {
    ArrayWriter array(Int8Oid, values.size(), false);
    for (const int64_t value : values) {
        array.element(bigEndian(static_cast<uint64_t>(value), 8));
    }
    return add(Int8ArrayOid, array.take());
}

std::vector<const char*> PgParams::pointers() const {
    std::vector<const char*> out;
    out.reserve(values_.size());
    for (const auto& value : values_) {
        out.push_back(value ? value->data() : nullptr);
    }
    return out;
}

std::string PgResult::bytes(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<size_t>(PQgetlength(result_.get(), row, column)));
}

int64_t PgResult::int64(int row, int column) const {
    const auto* data =
        reinterpret_cast<const unsigned char*>(PQgetvalue(result_.get(), row, column));
    const int length = PQgetlength(result_.get(), row, column);
    if (length != 2 && length != 4 && length != 8) {
        throw PgError("an integer column of unexpected size");
    }
    uint64_t value = (data[0] & 0x80) != 0 ? ~uint64_t{0} : 0; // sign-extended
    for (int i = 0; i < length; ++i) {
        value = (value << 8) | data[i];
    }
    return static_cast<int64_t>(value);
}

bool PgResult::boolean(int row, int column) const {
    return PQgetlength(result_.get(), row, column) == 1 &&
           PQgetvalue(result_.get(), row, column)[0] != 0;
}

std::unique_ptr<PgConnection> PgConnection::open(const std::string& uri) {
    std::unique_ptr<PGconn, PgConnFinish> conn(PQconnectdb(uri.c_str()));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        throw PgError("cannot connect: " + errorOf(conn.get()));
    }
    // Notices of the server ("relation already exists, skipping") are not for our log.
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    auto connection = std::make_unique<PgConnection>(std::move(conn));
    // An append is acknowledged once committed: a database set to commit lazily would lose
    // acknowledged strokes in a crash of its own.
    connection->run("SET synchronous_commit TO on");
    return connection;
}

PgResult PgConnection::exec(const char* sql, const PgParams& params) {
    if (!conn_) {
        throw PgError("the connection was lost");
    }
    const auto values = params.pointers();
    if (params.count() == 0) {
        std::unique_ptr<PGresult, PgResultFree> result(
            PQexecParams(conn_.get(), sql, 0, nullptr, nullptr, nullptr, nullptr, 1));
        if (!result || !succeeded(result.get())) {
            throw PgError(errorOf(conn_.get()));
        }
        return PgResult(std::move(result));
    }
    auto found = prepared_.find(sql);
    if (found == prepared_.end()) {
        const std::string name = "v" + std::to_string(next_name_++);
        std::unique_ptr<PGresult, PgResultFree> made(
            PQprepare(conn_.get(), name.c_str(), sql, params.count(), params.types()));
        if (!made || !succeeded(made.get())) {
            throw PgError(errorOf(conn_.get()));
        }
        found = prepared_.emplace(sql, name).first;
    }
    std::unique_ptr<PGresult, PgResultFree> result(
        PQexecPrepared(conn_.get(), found->second.c_str(), params.count(), values.data(),
                       params.lengths(), params.formats(), 1));
    if (!result || !succeeded(result.get())) {
        throw PgError(errorOf(conn_.get()));
    }
    return PgResult(std::move(result));
}

void PgConnection::run(const std::string& sql) {
    if (!conn_) {
        throw PgError("the connection was lost");
    }
    std::unique_ptr<PGresult, PgResultFree> result(PQexec(conn_.get(), sql.c_str()));
    if (!result || !succeeded(result.get())) {
        throw PgError(errorOf(conn_.get()));
    }
}

std::vector<PgResult> PgConnection::pipeline(const std::vector<PgStatement>& statements) {
    PGconn* conn = conn_.get();
    if (conn == nullptr || PQenterPipelineMode(conn) != 1) {
        throw PgError(errorOf(conn));
    }
    bool sent = true;
    // Statements with parameters are parsed and planned once per connection: a prepare goes
    // ahead of a statement's first use, and its answer is not one of the results.
    std::vector<bool> preparing;
    std::map<std::string, std::string> made;
    for (const PgStatement& statement : statements) {
        const auto values = statement.params.pointers();
        const int count = statement.params.count();
        if (count == 0) {
            sent = PQsendQueryParams(conn, statement.sql, 0, nullptr, nullptr, nullptr, nullptr,
                                     1) == 1;
            preparing.push_back(false);
        } else {
            std::string name;
            if (const auto known = prepared_.find(statement.sql); known != prepared_.end()) {
                name = known->second;
            } else if (const auto fresh = made.find(statement.sql); fresh != made.end()) {
                name = fresh->second;
            } else {
                name = "v" + std::to_string(next_name_++);
                sent = PQsendPrepare(conn, name.c_str(), statement.sql, count,
                                     statement.params.types()) == 1;
                preparing.push_back(true);
                made.emplace(statement.sql, name);
            }
            sent = sent && PQsendQueryPrepared(conn, name.c_str(), count, values.data(),
                                               statement.params.lengths(),
                                               statement.params.formats(), 1) == 1;
            preparing.push_back(false);
        }
        if (!sent) {
            break;
        }
    }
    if (!sent || PQpipelineSync(conn) != 1) {
        // The connection is unusable in the middle of a pipeline; the pool drops it.
        const std::string message = errorOf(conn);
        PQfinish(conn_.release());
        throw PgError(message);
    }
    std::vector<PgResult> results;
    results.reserve(statements.size());
    std::string failure;
    size_t answered = 0;
    // Every statement's result is followed by a null; the sync answers last.
    while (true) {
        std::unique_ptr<PGresult, PgResultFree> result(PQgetResult(conn));
        if (!result) {
            if (PQstatus(conn) != CONNECTION_OK) {
                failure = failure.empty() ? errorOf(conn) : failure;
                PQfinish(conn_.release());
                throw PgError(failure);
            }
            continue;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_PIPELINE_SYNC) {
            break;
        }
        const bool prepare = answered < preparing.size() && preparing[answered];
        ++answered;
        if (status == PGRES_PIPELINE_ABORTED) {
            continue;
        }
        if (!succeeded(result.get())) {
            if (failure.empty()) {
                failure = PQresultErrorMessage(result.get());
                if (failure.empty()) {
                    failure = errorOf(conn);
                }
            }
            continue;
        }
        if (!prepare) {
            results.emplace_back(std::move(result));
        }
    }
    PQexitPipelineMode(conn);
    if (!failure.empty()) {
        // Names are never reused, so a prepare that did succeed is only left unused.
        throw PgError(failure);
    }
    prepared_.insert(made.begin(), made.end());
    return results;
}

bool PgConnection::usable() const {
    return conn_ && PQstatus(conn_.get()) == CONNECTION_OK &&
           PQtransactionStatus(conn_.get()) == PQTRANS_IDLE;
}

PgTransaction::PgTransaction(PgConnection& conn) : conn_(conn) {
    conn_.run("BEGIN");
}

PgTransaction::~PgTransaction() {
    if (!done_ && conn_.raw() != nullptr) {
        try {
            conn_.run("ROLLBACK");
        } catch (const PgError&) {
            // A lost connection has rolled back by itself; the pool drops it.
        }
    }
}

void PgTransaction::commit() {
    done_ = true;
    conn_.run("COMMIT");
}

PgPool::Lease::~Lease() {
    if (conn_) {
        pool_->giveBack(std::move(conn_));
    }
}

PgPool::Lease PgPool::lease() {
    {
        std::unique_lock lock(mutex_);
        returned_.wait(lock, [this] { return !idle_.empty() || open_ < capacity_; });
        if (!idle_.empty()) {
            auto conn = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(conn));
        }
        ++open_;
    }
    try {
        return Lease(*this, PgConnection::open(uri_));
    } catch (...) {
        std::lock_guard lock(mutex_);
        --open_;
        returned_.notify_one();
        throw;
    }
}

void PgPool::giveBack(std::unique_ptr<PgConnection> conn) {
    {
        std::lock_guard lock(mutex_);
        if (conn->usable()) {
            idle_.push_back(std::move(conn));
        } else {
            --open_; // lost or left in a transaction: the next lease opens a fresh one
        }
    }
    returned_.notify_one();
}

} // namespace velmo::server
