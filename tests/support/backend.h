#pragma once

#include <gtest/gtest.h>

#include <string>

namespace velmo::testing {

// The storage backends the server's tests run against.
enum class Backend { Sqlite, Postgres };

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "Sqlite" : "Postgres";
}

} // namespace velmo::testing
