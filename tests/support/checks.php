<?php
// The checks of the PHP parts of the script tests: check() prints "ok   NAME" or "FAIL NAME: detail"
// and counts the failures in $failures; a test ends with exit($failures > 0 ? 1 : 0).
$failures = 0;
function check(string $name, bool $ok, mixed $detail = ''): void
{
    global $failures;
    echo ($ok ? 'ok   ' : 'FAIL ') . $name . ($ok ? '' : ': ' . var_export($detail, true)) . "\n";
    $failures += $ok ? 0 : 1;
}
