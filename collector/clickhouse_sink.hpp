#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collector/output_queue.hpp"

namespace tarn::collector {

// The schema the collector creates: collector/clickhouse_schema.sql, built in.
extern const char clickhouse_schema[];

// Rows into a ClickHouse table over its HTTP interface (libcurl), in RowBinary, in batches of
// everything queued, at most one a second unless rows_per_insert wait. A batch ClickHouse did
// not take goes again, whole, after a back-off, until it does: rows are lost only when the
// output's buffer overflows. Each failure streak is said once on stderr, with ClickHouse's own
// message.
class ClickHouseSink : public Sink {
  public:
    static constexpr size_t rows_per_insert = 100000;

    // url as ClickHouse's HTTP interface takes it, user and password included
    // ("http://127.0.0.1:8123/?database=dns"); table a plain name.
    ClickHouseSink(std::string url, std::string table);
    ~ClickHouseSink() override;

    // At start: empty when the table is ready, or when ClickHouse does not answer yet (open
    // makes the table once it does); why not when the table has columns the rows cannot fill.
    std::string prepare();
    bool open() override;
    bool write(const Batch& batch) override;
    bool write_gathered(const std::vector<Batch>& batches) override;
    std::chrono::milliseconds gather_time() const override { return std::chrono::seconds(1); }
    size_t gather_items() const override { return rows_per_insert; }

  private:
    struct Answer;
    struct Curl;
    // POSTs text, or the pieces as they are, with the query in the URL.
    Answer post(const std::string& query, const std::string& text);
    Answer post(const std::string& query);
    // Until ClickHouse takes them.
    bool insert_pieces(size_t rows);
    // "" when the table is there (made now if it was missing) and fits the rows, else why not;
    // answered says whether ClickHouse answered at all.
    std::string make_table(bool& answered);
    void failed(const std::string& what);

    const std::string url;
    const std::string table;
    const std::string insert;
    std::unique_ptr<Curl> curl;
    std::vector<std::string_view> pieces;  // the body of the next post
    bool failing = false;                  // a failure streak, said once
    uint64_t tries = 0;                    // of the streak
};

}  // namespace tarn::collector
