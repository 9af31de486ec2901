<?php
// The console's languages: English and Russian. Every text of the console comes from one catalogue per
// language (i18n/en.php, i18n/ru.php: arrays of key => text); numbers, dates and plural forms are written
// here, from plain tables, so they never depend on the machine's locale, time zone or extensions.
//
//   t(key, args)        plain text: "{name}" replaced by args' values (still to be escaped by the caller)
//   t_html(key, args)   HTML: the catalogue text escaped, then "{name}" replaced by args' values, which
//                       must already be HTML (escaped text or markup made by the caller)
//   tn(key, n, args)    a count: the plural form of n in the language, with "{n}" the number written out
//
// The language is chosen once per request (i18n_choose): the qm_lang cookie when it names one of ours,
// else the browser's Accept-Language, else English.
declare(strict_types=1);

const I18N_LANGUAGES = ['en', 'ru'];
const I18N_DEFAULT = 'en';

// Russian numbers group thousands with a no-break space (U+00A0) and write a decimal comma.
const I18N_NBSP = "\u{00A0}";

$GLOBALS['i18n_language'] = I18N_DEFAULT;
$GLOBALS['i18n_catalogues'] = [];

function i18n_catalogue(string $language): array
{
    if (!isset($GLOBALS['i18n_catalogues'][$language])) {
        $GLOBALS['i18n_catalogues'][$language] = require __DIR__ . '/i18n/' . $language . '.php';
    }
    return $GLOBALS['i18n_catalogues'][$language];
}

function i18n_set(string $language): void
{
    $GLOBALS['i18n_language'] = in_array($language, I18N_LANGUAGES, true) ? $language : I18N_DEFAULT;
}

function i18n_language(): string
{
    return $GLOBALS['i18n_language'];
}

// The catalogue's entry; a key missing from the catalogue shows as itself (the tests make sure none is).
function i18n_entry(string $key): string|array
{
    return i18n_catalogue(i18n_language())[$key] ?? $key;
}

function i18n_fill(string $text, array $args): string
{
    if ($args === []) {
        return $text;
    }
    $pairs = [];
    foreach ($args as $name => $value) {
        $pairs['{' . $name . '}'] = (string)$value;
    }
    return strtr($text, $pairs);  // one pass: a value that contains "{x}" is not replaced again
}

function t(string $key, array $args = []): string
{
    $entry = i18n_entry($key);
    return i18n_fill(is_array($entry) ? (string)($entry['other'] ?? $entry['many'] ?? reset($entry)) : $entry, $args);
}

function t_html(string $key, array $args = []): string
{
    $entry = i18n_entry($key);
    $text = is_array($entry) ? (string)($entry['other'] ?? $entry['many'] ?? reset($entry)) : $entry;
    return i18n_fill(htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8'), $args);
}

// The plural category of a whole number: English 'one' or 'other'; Russian 'one' (1, 21, 101...),
// 'few' (2-4, 22-24...) or 'many' (0, 5-20, 25-30, 11-14, 111...).
function i18n_plural(string $language, int $n): string
{
    $n = abs($n);
    if ($language === 'ru') {
        $last = $n % 10;
        $tens = $n % 100;
        if ($last === 1 && $tens !== 11) {
            return 'one';
        }
        if ($last >= 2 && $last <= 4 && ($tens < 12 || $tens > 14)) {
            return 'few';
        }
        return 'many';
    }
    return $n === 1 ? 'one' : 'other';
}

function tn(string $key, int $n, array $args = []): string
{
    $entry = i18n_entry($key);
    if (is_array($entry)) {
        $entry = (string)($entry[i18n_plural(i18n_language(), $n)] ?? $entry['other'] ?? $entry['many'] ?? reset($entry));
    }
    return i18n_fill($entry, ['n' => i18n_number($n)] + $args);
}

// A number as the language writes it: English 12,345.6; Russian 12 345,6 (U+00A0 between groups).
function i18n_number(int|float $n, int $decimals = 0): string
{
    [$group, $point] = i18n_language() === 'ru' ? [I18N_NBSP, ','] : [',', '.'];
    $text = number_format(abs((float)$n), $decimals, $point, $group);
    return ($n < 0 && (float)$text !== 0.0 ? '-' : '') . $text;
}

// The month names of dates, abbreviated (Russian in the genitive, as in "9 дек. 2026 г.").
const I18N_MONTHS = [
    'en' => ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'],
    'ru' => ['янв.', 'февр.', 'мар.', 'апр.', 'мая', 'июн.', 'июл.', 'авг.', 'сент.', 'окт.', 'нояб.', 'дек.'],
];

// A stored day ('YYYY-MM-DD') as the language writes it: "9 Dec 2026", "9 дек. 2026 г."; $year false:
// "9 Dec", "9 дек." Anything else is given back as it is.
function i18n_date(string $day, bool $year = true): string
{
    if (preg_match('/^(\d{4})-(\d\d)-(\d\d)$/D', $day, $m) !== 1 || (int)$m[2] < 1 || (int)$m[2] > 12) {
        return $day;
    }
    $language = i18n_language();
    $text = (int)$m[3] . ' ' . I18N_MONTHS[$language][(int)$m[2] - 1];
    if ($year) {
        $text .= ' ' . $m[1] . ($language === 'ru' ? ' г.' : '');
    }
    return $text;
}

// A stored time ('YYYY-MM-DDTHH:MM:SSZ', UTC) to the minute: "9 Dec 2026, 14:05", "9 дек. 2026 г., 14:05".
// Anything else is given back as it is.
function i18n_datetime(string $time): string
{
    if (preg_match('/^(\d{4}-\d\d-\d\d)T(\d\d:\d\d):\d\dZ$/D', $time, $m) !== 1) {
        return $time;
    }
    return i18n_date($m[1]) . ', ' . $m[2];
}

// The language an Accept-Language header prefers among ours: the one with the highest weight (q) that
// is above 0, a range "ru-RU" counting for "ru" and "*" for a language not named otherwise; between equal
// weights the one named first. null when the header names none of ours (or is junk).
function i18n_from_accept_language(string $header): ?string
{
    $weights = [];
    $star = null;
    $order = 0;
    // A header of more than 100 ranges is read to its 100th: the cost stays bounded.
    foreach (array_slice(explode(',', substr($header, 0, 4096)), 0, 100) as $part) {
        $order++;
        $fields = explode(';', $part);
        $range = strtolower(trim(array_shift($fields), " \t"));
        if (preg_match('/^(\*|[a-z]{1,8})(-[a-z0-9]{1,8})*$/D', $range) !== 1) {
            continue;
        }
        $q = 1.0;
        foreach ($fields as $field) {
            $field = trim($field, " \t");
            if (strncasecmp($field, 'q=', 2) !== 0) {
                continue;  // another parameter: ignored
            }
            if (preg_match('/^(0(\.\d{0,3})?|1(\.0{0,3})?)$/D', substr($field, 2)) !== 1) {
                continue 2;  // a weight that is not one: the range is ignored
            }
            $q = (float)substr($field, 2);
        }
        if ($range === '*') {
            $star ??= [$q, $order];
            continue;
        }
        $primary = explode('-', $range)[0];
        if (in_array($primary, I18N_LANGUAGES, true)) {
            // Several ranges of one language ("ru-RU, ru;q=0.9"): its highest weight, at its first place.
            if (!isset($weights[$primary]) || $q > $weights[$primary][0]) {
                $weights[$primary] = [$q, $weights[$primary][1] ?? $order];
            }
        }
    }
    if ($star !== null) {
        foreach (I18N_LANGUAGES as $language) {
            $weights[$language] ??= $star;
        }
    }
    $best = null;
    foreach ($weights as $language => [$q, $position]) {
        if ($q <= 0.0) {
            continue;
        }
        if ($best === null || $q > $best[1] || ($q === $best[1] && $position < $best[2])) {
            $best = [$language, $q, $position];
        }
    }
    return $best[0] ?? null;
}

// The request's language: the cookie's when it names one of ours, else the header's, else English.
function i18n_choose(?string $cookie, string $accept_language): string
{
    if ($cookie !== null && in_array($cookie, I18N_LANGUAGES, true)) {
        return $cookie;
    }
    return i18n_from_accept_language($accept_language) ?? I18N_DEFAULT;
}
