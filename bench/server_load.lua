-- wrk script of bench/server_load.sh: GET BENCH_PATH with a query from the list in BENCH_LIST (one
-- "hwid=...&sig=..." per line, correctly signed), each thread from its own place in the list, with the
-- shell's user agent. BENCH_DELAY_MS > 0 paces every connection (one request per that many ms after
-- each answer), for a set offered rate. done() prints one RESULT line: requests, seconds, errors by
-- kind, latency p50/p99/max in microseconds, and the answers counted by status and verdict.
local path = os.getenv("BENCH_PATH") or "/launcher/hwid_ban.php"
local delay_ms = tonumber(os.getenv("BENCH_DELAY_MS") or "0")
local queries = {}
for line in io.lines(os.getenv("BENCH_LIST")) do
    queries[#queries + 1] = line
end
local threads = {}
local counter = 0

function setup(thread)
    counter = counter + 1
    thread:set("id", counter)
    table.insert(threads, thread)
end

local next_query
counts = {}  -- a global: done() reads it from every thread with thread:get

function init(args)
    next_query = (id * 7919) % #queries
    wrk.headers["User-Agent"] = "QuillmarshLauncher/1.0"
end

function request()
    next_query = next_query % #queries + 1
    return wrk.format("GET", path .. "?" .. queries[next_query])
end

if delay_ms > 0 then
    function delay()
        return delay_ms
    end
end

-- Counting each answer costs wrk a little; only done when asked (the overload and limit runs).
if os.getenv("BENCH_COUNT") == "1" then
    function response(status, headers, body)
        local key = tostring(status)
        if status == 200 then
            key = body:find('"banned":true', 1, true) and "200-banned" or "200-free"
        end
        counts[key] = (counts[key] or 0) + 1
    end
end

function done(summary, latency, requests)
    local total = {}
    for _, thread in ipairs(threads) do
        local c = thread:get("counts")
        if c then
            for k, v in pairs(c) do total[k] = (total[k] or 0) + v end
        end
    end
    local parts = {}
    for k, v in pairs(total) do parts[#parts + 1] = k .. ":" .. v end
    table.sort(parts)
    local e = summary.errors
    io.write(string.format("RESULT requests=%d seconds=%.2f connect=%d read=%d write=%d status=%d timeout=%d "
        .. "p50=%d p99=%d max=%d counts=%s\n", summary.requests, summary.duration / 1e6, e.connect, e.read,
        e.write, e.status, e.timeout, latency:percentile(50), latency:percentile(99), latency.max,
        table.concat(parts, ",")))
end

