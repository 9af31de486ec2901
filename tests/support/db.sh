# The database of a server test, sourced by tests/scripts/test_server_*.sh and test_console_*.sh:
# SQLite by default, PostgreSQL when QUILLMARSH_TEST_DB=pgsql (the cluster of tests/support/postgres.sh,
# whose folder QUILLMARSH_TEST_POSTGRES names; CTest starts it once for all of them).
#   test_db_init NAME FILE   sets QUILLMARSH_DB_DSN (and QUILLMARSH_DB_USER) to a new, empty database:
#                            SQLite: the file FILE (not made; `migrate` makes it); PostgreSQL: a database
#                            NAME of its own in the cluster
#   test_db_drop             removes the PostgreSQL databases made (call it from the cleanup)
#   sql QUERY [ARGS...]      rows of the current database, fields joined by '|', through PDO
#   test_db_kind             sqlite or pgsql
# PostgreSQL's own client is used by absolute path.
test_db_made=()
test_db_kind() { echo "${QUILLMARSH_TEST_DB:-sqlite}"; }
test_db_psql() {  # test_db_psql DATABASE SQL
    /usr/lib/postgresql/15/bin/psql -h "$(cat "$QUILLMARSH_TEST_POSTGRES/socket")" -U quillmarsh -d "$1" \
        -X -q -At -v ON_ERROR_STOP=1 -c "$2"
}
test_db_init() {
    if [ "$(test_db_kind)" = pgsql ]; then
        [ -s "${QUILLMARSH_TEST_POSTGRES:-/nonexistent}/socket" ] ||
            { echo "FAIL: no PostgreSQL cluster (QUILLMARSH_TEST_POSTGRES; tests/support/postgres.sh start DIR)"; exit 1; }
        local name="t_$1_$$"
        test_db_psql postgres "DROP DATABASE IF EXISTS $name" >/dev/null 2>&1 &&
            test_db_psql postgres "CREATE DATABASE $name" >/dev/null || { echo "FAIL: CREATE DATABASE $name"; exit 1; }
        test_db_made+=("$name")
        # The form the guide gives, with ';' between the parts.
        export QUILLMARSH_DB_DSN="pgsql:host=$(cat "$QUILLMARSH_TEST_POSTGRES/socket");dbname=$name"
        export QUILLMARSH_DB_USER=quillmarsh
    else
        export QUILLMARSH_DB_DSN="sqlite:$2"
        unset QUILLMARSH_DB_USER
    fi
}
test_db_drop() {
    local name
    for name in "${test_db_made[@]}"; do
        test_db_psql postgres "DROP DATABASE IF EXISTS $name WITH (FORCE)" >/dev/null 2>&1 || true
    done
}
sql() {
    php -r '
$db = new PDO(getenv("QUILLMARSH_DB_DSN"), getenv("QUILLMARSH_DB_USER") ?: null, null,
    [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$query = $db->prepare($argv[1]);
$query->execute(array_slice($argv, 2));
foreach ($query->fetchAll(PDO::FETCH_NUM) as $row) {
    echo implode("|", array_map(static fn ($v) => $v === null ? "" : (is_bool($v) ? (int)$v : $v), $row)), "\n";
}' -- "$@"
}
# The schema as the database describes it (tables, columns with types, indexes): equal before and after
# a second migrate.
test_db_schema() {
    if [ "$(test_db_kind)" = pgsql ]; then
        sql "SELECT table_name || '.' || column_name || ' ' || data_type || ' ' || is_nullable FROM information_schema.columns
             WHERE table_schema = 'public' UNION ALL SELECT indexdef FROM pg_indexes WHERE schemaname = 'public' ORDER BY 1"
    else
        sql "SELECT type || ' ' || name || ' ' || COALESCE(sql, '') FROM sqlite_master ORDER BY name"
    fi
}
