<?php
// The console's languages without a server (run by test_console_i18n.sh): the catalogues against each
// other and against the pages' keys, the choice of language, and numbers, dates and plural forms as
// each language writes them, against strings written out here.
declare(strict_types=1);

$src = $argv[1];
require $src . '/server/lib/i18n.php';
require $src . '/server/lib/console_reports.php';

require $src . '/tests/support/checks.php';

// ---- The catalogues ------------------------------------------------------------------------------------
$en = require $src . '/server/lib/i18n/en.php';
$ru = require $src . '/server/lib/i18n/ru.php';
check('catalogues: the same keys', array_keys($en) === array_keys($ru) || (array_diff_key($en, $ru) === [] && array_diff_key($ru, $en) === []),
    [array_keys(array_diff_key($en, $ru)), array_keys(array_diff_key($ru, $en))]);
$placeholders = static function (string|array $entry): array {
    preg_match_all('/\{[a-z_]+\}/', is_array($entry) ? implode(' ', $entry) : $entry, $m);
    $found = array_unique($m[0]);
    sort($found);
    return $found;
};
$mismatch = [];
foreach ($en as $key => $text) {
    if (!isset($ru[$key])) {
        continue;
    }
    if (is_array($text) !== is_array($ru[$key])
        || (is_array($text) && (array_keys($text) !== ['one', 'other'] || array_keys($ru[$key]) !== ['one', 'few', 'many']))) {
        $mismatch[] = "$key: forms";
    }
    // A count's forms may leave the number out ("device seen..."), but never bring other values.
    $want = array_values(array_diff($placeholders($text), ['{n}']));
    $have = array_values(array_diff($placeholders($ru[$key]), ['{n}']));
    if ($want !== $have) {
        $mismatch[] = "$key: placeholders";
    }
    foreach ([$text, $ru[$key]] as $entry) {
        foreach ((array)$entry as $form) {
            if (!is_string($form) || $form === '' || preg_match('//u', $form) !== 1) {
                $mismatch[] = "$key: empty or not UTF-8";
            }
        }
    }
}
check('catalogues: the same plural forms (en one/other, ru one/few/many) and placeholders', $mismatch === [], $mismatch);

// Every key the pages use: the literal ones, and those made from a prefix.
$page = file_get_contents($src . '/server/public/admin/index.php');
preg_match_all("/'([a-z_]+(?:\\.[a-z_-]+)+)'/", $page, $m);
$used = array_unique($m[1]);
foreach (I18N_LANGUAGES as $language) {
    $used[] = "lang.$language";
    $used[] = "lang.name.$language";
}
foreach (['where.query', 'where.form', 'text.nul', 'text.utf8'] as $key) {
    $used[] = $key;
}
foreach (report_codes() as $code) {
    $used[] = "failure.code.$code";
}
foreach (['ban', 'lift', 'operator-add', 'operator-password', 'operator-remove'] as $action) {
    $used[] = "action.$action";
}
$missing = array_values(array_filter($used, static fn ($key) => !isset($en[$key]) || !isset($ru[$key])));
check('every key the pages use is in both catalogues (' . count($used) . ' keys)', $missing === [] && count($used) > 150, $missing);
// And the audit's actions are all there: every action the code writes.
preg_match_all('/audit_add\(\$db, \$\w+, ([^,]+),/', file_get_contents($src . '/server/lib/bans.php')
    . file_get_contents($src . '/server/lib/console.php'), $m);
preg_match_all("/'([a-z-]+)'/", implode(' ', $m[1]), $m2);
$actions = array_unique($m2[1]);
check('every audit action has a label', array_diff(array_map(static fn ($a) => "action.$a", $actions), array_keys($en)) === []
    && count($actions) === 5, $actions);
// No English left in the Russian pages' words (a key copied and not translated).
$same = array_keys(array_filter($en, static fn ($text, $key) => $text === $ru[$key] && !is_array($text)
    && preg_match('/[a-z]{4}/', preg_replace('/\{[a-z_]+\}/', '', $text)) === 1 && !str_starts_with($key, 'lang.'), ARRAY_FILTER_USE_BOTH));
check('no English text left untranslated', $same === [], $same);

// ---- Which language ----------------------------------------------------------------------------------------
$rows = [
    ['ru-RU,ru;q=0.9,en;q=0.8', 'ru'],
    ['en-US,en;q=0.9,ru;q=0.8', 'en'],
    ['ru;q=0', null],                        // refused outright
    ['ru;q=0, *;q=0.1', 'en'],               // anything but Russian
    ['de-DE,de;q=0.9', null],
    ['de,ru;q=0.5,en;q=0.4', 'ru'],
    ['en;q=0.5, ru;q=0.51', 'ru'],
    ['RU', 'ru'],                            // case does not matter
    ['ru, en', 'ru'],                        // equal weights: the first named
    ['en, ru', 'en'],
    ['ru-RU;q=0.2, ru;q=0.8, en;q=0.5', 'ru'],  // the language's highest weight
    ['*', 'en'],                             // anything: the first of ours
    ['uk, *;q=0.5, en;q=0.1', 'ru'],         // "*" gives Russian 0.5, English has its own 0.1
    ['ru;q=1.5, en', 'en'],                  // a weight that is none: the range is ignored
    ['ru;q=abc, en;q=0.3', 'en'],
    ['ru;level=1;q=0.9, en;q=0.8', 'ru'],    // other parameters ignored
    ['en;q=0.001, ru;q=0.000', 'en'],
    ['', null],
    [';;;,,,', null],
    ['ru_RU', null],                         // not a language range
    ["ru\x00", null],
    [str_repeat('de, ', 200) . 'ru', null],  // past the 100th range: not read
];
foreach ($rows as [$header, $want]) {
    check('Accept-Language ' . json_encode(substr($header, 0, 40)) . ': ' . ($want ?? 'none'),
        i18n_from_accept_language($header) === $want, i18n_from_accept_language($header));
}
check('the cookie over the header', i18n_choose('en', 'ru') === 'en' && i18n_choose('ru', 'en-US,en') === 'ru');
check('a cookie not ours: the header, then English', i18n_choose('de', 'ru') === 'ru' && i18n_choose('xx', '') === 'en'
    && i18n_choose(null, 'fr') === 'en');

// ---- Numbers, dates, plural forms ---------------------------------------------------------------------------
$nb = "\u{00A0}";
$cases = [
    'en' => [
        'numbers' => [[0, '0'], [7, '7'], [999, '999'], [1000, '1,000'], [12345, '12,345'], [-1234567, '-1,234,567']],
        'decimal' => [1234.5, '1,234.5'],
        'dates' => [['2026-12-09T14:05:59Z', '9 Dec 2026, 14:05'], ['2020-01-01T00:00:00Z', '1 Jan 2020, 00:00'],
            ['2026-05-31T23:59:00Z', '31 May 2026, 23:59'], ['not a time', 'not a time']],
        'day' => ['2026-09-30', '30 Sep 2026', '30 Sep'],
        'plural' => [[0, '0 checks'], [1, '1 check'], [2, '2 checks'], [21, '21 checks'], [1000, '1,000 checks']],
    ],
    'ru' => [
        'numbers' => [[0, '0'], [999, '999'], [1000, "1{$nb}000"], [12345, "12{$nb}345"], [-1234567, "-1{$nb}234{$nb}567"]],
        'decimal' => [1234.5, "1{$nb}234,5"],
        'dates' => [['2026-12-09T14:05:59Z', '9 дек. 2026 г., 14:05'], ['2020-01-01T00:00:00Z', '1 янв. 2020 г., 00:00'],
            ['2026-05-31T23:59:00Z', '31 мая 2026 г., 23:59'], ['2026-02-13T08:00:00Z', '13 февр. 2026 г., 08:00']],
        'day' => ['2026-09-30', '30 сент. 2026 г.', '30 сент.'],
        'plural' => [[0, '0 проверок'], [1, '1 проверка'], [2, '2 проверки'], [4, '4 проверки'], [5, '5 проверок'],
            [11, '11 проверок'], [12, '12 проверок'], [14, '14 проверок'], [21, '21 проверка'], [22, '22 проверки'],
            [25, '25 проверок'], [101, '101 проверка'], [111, '111 проверок'], [112, '112 проверок'], [1004, "1{$nb}004 проверки"]],
    ],
];
foreach ($cases as $language => $case) {
    i18n_set($language);
    $got = array_map(static fn ($row) => i18n_number($row[0]), $case['numbers']);
    check("$language: numbers", $got === array_column($case['numbers'], 1), $got);
    check("$language: a decimal", i18n_number($case['decimal'][0], 1) === $case['decimal'][1], i18n_number($case['decimal'][0], 1));
    $got = array_map(static fn ($row) => i18n_datetime($row[0]), $case['dates']);
    check("$language: dates and times", $got === array_column($case['dates'], 1), $got);
    check("$language: a day, with and without its year", [i18n_date($case['day'][0]), i18n_date($case['day'][0], false)]
        === [$case['day'][1], $case['day'][2]], [i18n_date($case['day'][0]), i18n_date($case['day'][0], false)]);
    $got = array_map(static fn ($row) => tn('count.checks', $row[0]), $case['plural']);
    check("$language: plural forms", $got === array_column($case['plural'], 1), $got);
}
i18n_set('ru');
check('ru: texts, plain and as HTML', t('bad.field', ['where' => t('where.query'), 'field' => '<q>', 'problem' => t('text.nul')])
    === 'Поле запроса «<q>» содержит символ NUL.'
    && t_html('badge.until', ['when' => '<time>1</time>']) === 'забанено до <time>1</time>', t('bad.field'));
check('a value is filled in once, never read as a placeholder', t('nav.sign_out', ['operator' => '{operator}']) === 'Выйти ({operator})');
i18n_set('de');
check('a language not ours: English', i18n_language() === 'en' && t('nav.failures') === 'Failures');

exit($failures > 0 ? 1 : 0);
