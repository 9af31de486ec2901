<?php
// Small guards shared by the console, the ban list and the admin command: text that may be stored,
// write transactions that never upgrade a read, and the address a throttle counts.
declare(strict_types=1);

require_once __DIR__ . '/db.php';

// Why a text may not be stored, or null when it may: it must be valid UTF-8 (PostgreSQL refuses
// anything else with an error) and hold no NUL (PostgreSQL cuts the text there, C code downstream too).
function text_problem(string $text): ?string
{
    if (str_contains($text, "\0")) {
        return 'contains a NUL character';
    }
    if (preg_match('//u', $text) !== 1) {
        return 'is not valid UTF-8';
    }
    return null;
}

// Throws InvalidArgumentException naming the field when text_problem() finds one.
function text_require(string $field, string $text): void
{
    $problem = text_problem($text);
    if ($problem !== null) {
        throw new InvalidArgumentException("$field $problem");
    }
}

// Runs $work inside a write transaction and returns its result. On SQLite the transaction starts with
// BEGIN IMMEDIATE: the write lock is taken first, with the lock wait (busy timeout), so no read snapshot
// is ever upgraded (an upgrade fails at once with "database is locked" when another connection has
// committed since the read). Elsewhere PDO's own transaction; statements that must serialise take their
// row locks themselves (an upsert, or SELECT ... FOR UPDATE).
function db_write(PDO $db, callable $work): mixed
{
    static $open = null;  // the SQLite connection inside BEGIN IMMEDIATE (PDO does not know of it)
    static $guarded = false;
    if (db_driver($db) !== 'sqlite') {
        $db->beginTransaction();
        try {
            $result = $work();
            $db->commit();
            return $result;
        } catch (Throwable $e) {
            if ($db->inTransaction()) {
                $db->rollBack();
            }
            throw $e;
        }
    }
    if (!$guarded) {
        // A request that ends inside the transaction (a fatal error, the time limit) must not leave a
        // reused connection holding the write lock.
        register_shutdown_function(static function () use (&$open): void {
            if ($open instanceof PDO) {
                try {
                    $open->exec('ROLLBACK');
                } catch (Throwable) {
                }
            }
        });
        $guarded = true;
    }
    $db->exec('BEGIN IMMEDIATE');
    $open = $db;
    try {
        $result = $work();
        $db->exec('COMMIT');
        $open = null;
        return $result;
    } catch (Throwable $e) {
        try {
            $db->exec('ROLLBACK');
        } catch (Throwable) {
        }
        $open = null;
        throw $e;
    }
}

// The rows of a query, the statement closed before returning: an open SQLite statement keeps its read
// snapshot (and so blocks a later write on the same connection) until it is reset.
function db_rows(PDO $db, string $sql, array $args = []): array
{
    $query = $db->prepare($sql);
    $query->execute($args);
    $rows = $query->fetchAll();
    $query->closeCursor();
    return $rows;
}

// The address a throttle counts: an IPv6 address by its /64 (one subscriber's network: a /64 gives
// anyone as many addresses as they like), an IPv4-mapped IPv6 address as the IPv4 address, IPv4 as is.
// Anything that is not an address is kept as given (at most 64 bytes).
function throttle_address_key(string $address): string
{
    $binary = @inet_pton($address);
    if ($binary === false) {
        return mb_safe_substr($address, 64);
    }
    if (strlen($binary) === 16) {
        if (str_starts_with($binary, str_repeat("\0", 10) . "\xff\xff")) {
            return (string)inet_ntop(substr($binary, 12));
        }
        return inet_ntop(substr($binary, 0, 8) . str_repeat("\0", 8)) . '/64';
    }
    return (string)inet_ntop($binary);
}

// Lists count at most this many rows: a count of a large table costs as much as reading it, and a
// page only needs to know whether there are more. Above it, pages say "more than".
const LIST_COUNT_CAP = 2000;

// COUNT(*) of "FROM ... [WHERE ...]" ($from), but at most $cap + 1: bounded cost whatever the table's size.
function db_count_capped(PDO $db, string $from, array $args, int $cap = LIST_COUNT_CAP): int
{
    $rows = db_rows($db, "SELECT COUNT(*) AS n FROM (SELECT 1 AS one $from LIMIT " . ($cap + 1) . ') capped', $args);
    return (int)($rows[0]['n'] ?? 0);
}
