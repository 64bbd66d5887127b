#pragma once

#include "store/delivery_book.h"
#include "store/delivery_marks.h"
#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_store.h"
#include "support/backend.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velmo::testing {

// A fresh store of either backend with the delivery book the server uses with it: SQLite in
// `dir` with marks in memory, or PostgreSQL on a throw-away cluster with marks in the database.
// When PostgreSQL is not installed, ready() is false and problem() says why.
class BackendStore {
public:
    BackendStore(Backend backend, const TempDir& dir, server::CanvasNews* news = nullptr) {
        std::string error;
        if (backend == Backend::Sqlite) {
            store_ = server::SqliteStore::open(dir.file("canvas.sqlite"), &error);
            marks_ = &memory_marks_;
        } else {
            cluster_ = std::make_unique<PgCluster>();
            if (!cluster_->running()) {
                problem_ = cluster_->problem();
                return;
            }
            auto shared = server::PgStore::open(cluster_->uri(), news, &error);
            if (shared) {
                marks_ = &shared->deliveries();
            }
            store_ = std::move(shared);
        }
        if (!store_) {
            problem_ = "the store did not open: " + error;
        }
    }
    ~BackendStore() {
        store_.reset(); // before its cluster stops
    }

    bool ready() const { return store_ != nullptr; }
    const std::string& problem() const { return problem_; }
    server::Store& store() { return *store_; }
    server::DeliveryBook& marks() { return *marks_; }
    // The PostgreSQL cluster under the store (to stop it, say); none for SQLite.
    PgCluster* cluster() { return cluster_.get(); }

private:
    std::unique_ptr<PgCluster> cluster_;
    server::DeliveryMarks memory_marks_;
    server::DeliveryBook* marks_ = nullptr;
    std::unique_ptr<server::Store> store_;
    std::string problem_;
};

} // namespace velmo::testing
