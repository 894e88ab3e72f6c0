#include "campaign/pg/pg_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "campaign/store/pg_connection.h"

namespace {

std::unique_ptr<pg_scratch_server>& server() {
  static std::unique_ptr<pg_scratch_server> s;
  return s;
}

}  // namespace

pg_scratch_server& test_server() {
  return *server();
}

std::string fresh_database(const std::string& name) {
  std::string error;
  EXPECT_TRUE(test_server().execute("CREATE DATABASE " + name, error, "postgres")) << error;
  return test_server().target(name);
}

std::vector<std::string> pg_query(const std::string& target, const std::string& sql) {
  std::string error;
  std::optional<pg_connection> c = pg_connection::connect(target, error);
  std::optional<pg_rows> rows;
  if (c) rows = c->query(sql, {});
  EXPECT_TRUE(c && rows) << (c ? c->last_error() : error);
  std::vector<std::string> out;
  for (int r = 0; rows && r < rows->size(); ++r) {
    std::string line;
    for (int col = 0; col < rows->columns(); ++col)
      line += (col ? "|" : "") + std::string(rows->text(r, col));
    out.push_back(line);
  }
  return out;
}

// Lists the tests without a server; otherwise starts one first, or exits 77 (skipped) when the
// machine cannot run one.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    std::string error;
    server() = pg_scratch_server::start(error);
    if (!server()) {
      std::fprintf(stderr, "skipped: cannot start a PostgreSQL server: %s\n", error.c_str());
      return 77;
    }
  }
  int status = RUN_ALL_TESTS();
  server().reset();
  return status;
}
