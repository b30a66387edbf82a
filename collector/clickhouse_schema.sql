-- The collector's ClickHouse tables, for ClickHouse 18.16 and later. The collector runs these
-- statements itself when the table is missing, with "dns_records" replaced by
-- --clickhouse-table. One row per DNS message an agent reported; a message that does not
-- decode as DNS has its header and question columns 0 or empty. Retention: drop a day's
-- partition (ALTER TABLE dns_records DROP PARTITION '2026-12-01').
CREATE TABLE IF NOT EXISTS dns_records (
    time DateTime,        -- when the DNS server saw the message (UTC seconds)
    agent String,         -- the agent's TLS subject, else its address without the port
    device String,        -- the client's address
    server String,        -- the DNS server's address
    transport String,     -- 'udp' or 'tcp'
    length UInt32,        -- bytes of the DNS message
    id UInt16,
    qr UInt8,             -- 0 query, 1 response
    opcode UInt8,
    rcode UInt8,
    qname String,         -- presentation form, 'www.example.com.'
    qtype UInt16,
    packet String         -- the DNS message as the server sent or received it
) ENGINE = MergeTree()
PARTITION BY toDate(time)
ORDER BY (qname, qtype, time);

-- Queries per hour, name and type: the "top names" question without scanning raw rows. A row
-- without a name (a message that is not DNS) is no query of any name.
CREATE TABLE IF NOT EXISTS dns_records_hourly (
    hour DateTime,
    qname String,
    qtype UInt16,
    queries UInt64
) ENGINE = SummingMergeTree()
PARTITION BY toDate(hour)
ORDER BY (hour, qname, qtype);

CREATE MATERIALIZED VIEW IF NOT EXISTS dns_records_hourly_feed TO dns_records_hourly AS
SELECT toStartOfHour(time) AS hour, qname, qtype, count() AS queries
FROM dns_records
WHERE qr = 0 AND qname != ''
GROUP BY hour, qname, qtype;
