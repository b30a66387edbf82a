#include "collector/clickhouse_sink.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "collector/clickhouse_row.hpp"

namespace tarn::collector {

namespace {

constexpr std::chrono::milliseconds first_backoff{250};
constexpr std::chrono::milliseconds longest_backoff{16000};
constexpr long connect_seconds = 5;
constexpr long answer_seconds = 120;     // a large batch on a busy server
constexpr long upload_buffer = 2 << 20;  // libcurl's largest: fewer, larger sends

size_t keep_answer(char* data, size_t size, size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
}

// A request's body as it lies in the output's chunks: no copy to join them.
struct Body {
    const std::vector<std::string_view>& pieces;
    size_t piece = 0;
    size_t at = 0;  // in pieces[piece]
};

size_t give_body(char* to, size_t size, size_t count, void* data) {
    Body& body = *static_cast<Body*>(data);
    size_t given = 0;
    while (given < size * count && body.piece < body.pieces.size()) {
        const std::string_view piece = body.pieces[body.piece];
        const size_t part = std::min(size * count - given, piece.size() - body.at);
        std::memcpy(to + given, piece.data() + body.at, part);
        given += part;
        body.at += part;
        if (body.at == piece.size()) {
            ++body.piece;
            body.at = 0;
        }
    }
    return given;
}

// libcurl rewinds a body it must send again (a redirect, an authentication round).
int rewind_body(void* data, curl_off_t offset, int origin) {
    if (offset != 0 || origin != SEEK_SET) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    static_cast<Body*>(data)->piece = 0;
    static_cast<Body*>(data)->at = 0;
    return CURL_SEEKFUNC_OK;
}

std::string insert_query(const std::string& table) {
    std::string query = "INSERT INTO " + table + " (";
    for (const ClickHouseColumn& column : clickhouse_columns) {
        query +=
            std::string(column.name) + (&column == std::end(clickhouse_columns) - 1 ? "" : ", ");
    }
    return query + ") FORMAT RowBinary";
}

// The schema's statements for this table (the file names it dns_records), comments left out.
std::vector<std::string> schema_statements(const std::string& table) {
    std::string schema;
    for (const char* line = clickhouse_schema; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        const std::string text(line, end != nullptr ? end : line + std::strlen(line));
        schema += text.substr(0, text.find("--")) + "\n";
        line = end != nullptr ? end + 1 : line + text.size();
    }
    for (size_t at = 0; (at = schema.find("dns_records", at)) != std::string::npos;
         at += table.size()) {
        schema.replace(at, 11, table);
    }
    std::vector<std::string> statements;
    for (size_t begin = 0, end; begin < schema.size(); begin = end + 1) {
        end = std::min(schema.find(';', begin), schema.size());
        const std::string statement = schema.substr(begin, end - begin);
        if (statement.find("CREATE") != std::string::npos) {
            statements.push_back(statement);
        }
    }
    return statements;
}

}  // namespace

struct ClickHouseSink::Answer {
    long status = 0;  // HTTP status; 0 when there was no answer
    std::string body;
    std::string error;

    // ClickHouse's own words: the first line of its answer.
    std::string text() const {
        if (status == 0) {
            return "no answer: " + error;
        }
        std::string line = body.substr(0, std::min(body.find('\n'), size_t{400}));
        return "ClickHouse answered " + std::to_string(status) + ": " + line;
    }
};

struct ClickHouseSink::Curl {
    Curl() {
        static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
        (void)initialised;
        handle = curl_easy_init();
        no_expect = curl_slist_append(nullptr, "Expect:");  // no wait for 100 Continue
    }
    ~Curl() {
        curl_easy_cleanup(handle);
        curl_slist_free_all(no_expect);
    }
    CURL* handle;
    curl_slist* no_expect;
};

ClickHouseSink::ClickHouseSink(std::string url, std::string table)
    : url(std::move(url)),
      table(std::move(table)),
      insert(insert_query(this->table)),
      curl(std::make_unique<Curl>()) {}

ClickHouseSink::~ClickHouseSink() = default;

ClickHouseSink::Answer ClickHouseSink::post(const std::string& query, const std::string& text) {
    pieces.assign(1, text);
    return post(query);
}

ClickHouseSink::Answer ClickHouseSink::post(const std::string& query) {
    Answer answer;
    Body body{pieces};
    curl_off_t size = 0;
    for (const std::string_view piece : pieces) {
        size += static_cast<curl_off_t>(piece.size());
    }
    CURL* handle = curl->handle;
    std::string target = url;
    if (!query.empty()) {
        char* escaped = curl_easy_escape(handle, query.data(), static_cast<int>(query.size()));
        target += (url.find('?') == std::string::npos ? "?query=" : "&query=") +
                  std::string(escaped != nullptr ? escaped : "");
        curl_free(escaped);
    }
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(handle, CURLOPT_URL, target.c_str());
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, size);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, give_body);
    curl_easy_setopt(handle, CURLOPT_READDATA, &body);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, rewind_body);
    curl_easy_setopt(handle, CURLOPT_SEEKDATA, &body);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, curl->no_expect);
    curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, upload_buffer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, keep_answer);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connect_seconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, answer_seconds);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    const CURLcode done = curl_easy_perform(handle);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    if (done != CURLE_OK) {
        answer.error = *error != '\0' ? error : curl_easy_strerror(done);
        return answer;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

std::string ClickHouseSink::make_table(bool& answered) {
    const Answer columns = post("",
                                "SELECT name, type FROM system.columns WHERE database = "
                                "currentDatabase() AND table = '" +
                                    table + "' FORMAT TabSeparated");
    answered = columns.status == 200;
    if (!answered) {
        return columns.text();
    }
    if (columns.body.empty()) {  // no such table yet
        for (const std::string& statement : schema_statements(table)) {
            const Answer made = post("", statement);
            if (made.status != 200) {
                answered = false;  // nothing wrong with a table: try again later
                return "cannot make table " + table + ": " + made.text();
            }
        }
        return "";
    }
    const std::string listed = "\n" + columns.body;
    for (const ClickHouseColumn& column : clickhouse_columns) {
        const std::string name = "\n" + std::string(column.name) + "\t", type = column.type;
        if (listed.find(name + type + "\n") == std::string::npos &&
            listed.find(name + "LowCardinality(" + type + ")\n") == std::string::npos) {
            return "table " + table + " has no column " + column.name + " of type " + column.type +
                   " (collector/clickhouse_schema.sql makes the table)";
        }
    }
    return "";
}

std::string ClickHouseSink::prepare() {
    bool answered = false;
    std::string why = make_table(answered);
    if (!answered && !why.empty()) {
        failed("table " + table + " not ready: " + why);
        why.clear();
    }
    return why;
}

void ClickHouseSink::failed(const std::string& what) {
    ++tries;
    if (!failing) {
        std::fprintf(stderr,
                     "collector: ClickHouse: %s; rows wait (at most --buffer) and go "
                     "when ClickHouse takes them\n",
                     what.c_str());
        std::fflush(stderr);
    }
    failing = true;
}

bool ClickHouseSink::open() {
    bool answered = false;
    const std::string why = make_table(answered);
    if (!why.empty()) {
        failed(why);
    }
    return why.empty();
}

bool ClickHouseSink::write(const Batch& batch) {
    pieces.assign(1, batch.bytes);
    return insert_pieces(batch.count());
}

bool ClickHouseSink::write_gathered(const std::vector<Batch>& batches) {
    pieces.clear();
    size_t rows = 0;
    for (const Batch& batch : batches) {
        pieces.emplace_back(batch.bytes);
        rows += batch.count();
    }
    return insert_pieces(rows);
}

bool ClickHouseSink::insert_pieces(size_t rows) {
    for (std::chrono::milliseconds backoff = first_backoff;;
         backoff = std::min(2 * backoff, longest_backoff)) {
        const Answer answer = post(insert);
        if (answer.status == 200) {
            if (failing) {
                std::fprintf(stderr,
                             "collector: ClickHouse: rows taken again after %llu failed "
                             "tries\n",
                             static_cast<unsigned long long>(tries));
                std::fflush(stderr);
            }
            failing = false;
            tries = 0;
            return true;
        }
        failed("insert of " + std::to_string(rows) + " rows into " + table +
               " failed: " + answer.text());
        std::this_thread::sleep_for(backoff);
    }
}

}  // namespace tarn::collector
