#!/usr/bin/env python3
# Failure report bodies for the server tests and the load bench, written independently of the server's
# PHP code (Python's json and hmac). Usage: report_bodies.py KEY OUT_DIR
#   writes OUT_DIR/NAME.body (the exact bytes to POST), OUT_DIR/NAME.mac (the X-Quillmarsh-Mac value the
#   case sends, possibly wrong on purpose; absent: no header) and OUT_DIR/cases (NAME STATUS per line,
#   the status the server must answer); for the accepted cases also OUT_DIR/NAME.text and NAME.log (the
#   box text and the log lines joined with line feeds, as they must be stored).
# Or: report_bodies.py KEY OUT_FILE --many N CODE PREFIX: N valid bodies of the devices sha256(PREFIX + " " +
#   i), one per line, each line "MAC BODY" (JSON has no raw line breaks).
import hashlib, hmac, json, os, sys

key = sys.argv[1].encode()
mac = lambda data: hmac.new(key, data, hashlib.sha256).hexdigest()
device = lambda name: hashlib.sha256(name.encode()).hexdigest()

def report(hwid, **change):
    body = {
        "hwid": hwid, "sig": mac(hwid.encode()), "code": "java17_failed",
        "shell_version": "1.0.0.0", "windows_version": "10.0.19045",
        "text": "Не удалось скачать и распаковать Java 17.\n\nСервер вернул код 503\n\nПодробности: "
                "%USERPROFILE%\\AppData\\Roaming\\.quillmarsh\\launcher.log",
        "log": ["[2026-12-09 10:00:00] Запуск лаунчера", "Каталог: %USERPROFILE%\\AppData\\Roaming\\.quillmarsh",
                "ОШИБКА: не удалось подготовить Java 17: Сервер вернул код 503", "\ttab and \"quotes\" \\ kept"],
    }
    body.update(change)
    return body

if len(sys.argv) > 3 and sys.argv[3] == "--many":
    count, code, prefix = int(sys.argv[4]), sys.argv[5], sys.argv[6]
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        for i in range(count):
            data = json.dumps(report(device(f"{prefix} {i}"), code=code), ensure_ascii=False).encode()
            out.write(mac(data) + " " + data.decode() + "\n")
    sys.exit(0)

out = sys.argv[2]
os.makedirs(out, exist_ok=True)
cases = []
hwid = device("report device one")

def case(name, status, data, mac_value="good", stored=None):
    if isinstance(data, dict):
        data = json.dumps(data, ensure_ascii=False).encode()
    with open(f"{out}/{name}.body", "wb") as f:
        f.write(data)
    if mac_value is not None:
        with open(f"{out}/{name}.mac", "w") as f:
            f.write(mac(data) if mac_value == "good" else mac_value)
    if stored is not None:
        with open(f"{out}/{name}.text", "wb") as f:
            f.write(stored["text"].encode())
        with open(f"{out}/{name}.log", "wb") as f:
            f.write("\n".join(stored["log"]).encode())
    cases.append(f"{name} {status}")

def pad_to(data, size):  # trailing white space is allowed after the JSON value
    return data + b" " * (size - len(data))

good = report(hwid)
case("valid", 200, good, stored=good)
# The same report written with \u escapes and spaces between the tokens: stored alike.
case("valid_escaped", 200, json.dumps(good, ensure_ascii=True, indent=2).encode(), stored=good)
# Each code once, and an empty log.
for code in ("ban_check_failed", "launcher_download_failed", "launcher_digest_failed", "client_start_failed",
             "watchdog_timeout", "unexpected_error", "worker_start_failed"):
    case("code_" + code, 200, report(hwid, code=code, log=[]), stored=report(hwid, log=[]))
# Exactly 16 KiB is taken, one byte more is not.
big = report(hwid, log=["x" * 1000] * 12)
case("size_16384", 200, pad_to(json.dumps(big).encode(), 16384), stored=big)
case("size_16385", 413, pad_to(json.dumps(big).encode(), 16385))
# Signature and HMAC.
case("sig_of_another_device", 403, report(hwid, sig=mac(device("report device two").encode())))
case("sig_under_another_key", 403, report(hwid, sig=hmac.new(b"another key", hwid.encode(), hashlib.sha256).hexdigest()))
case("mac_of_other_bytes", 403, json.dumps(good).encode(), mac(json.dumps(good).encode() + b" "))
case("mac_under_another_key", 403, good, hmac.new(b"another key", json.dumps(good, ensure_ascii=False).encode(),
                                                   hashlib.sha256).hexdigest())
case("mac_missing", 400, good, None)
case("mac_upper_case", 400, good, mac(json.dumps(good, ensure_ascii=False).encode()).upper())
case("mac_member_in_body", 400, report(hwid, mac="0" * 64))
# JSON that is not well formed, or not the object.
raw = json.dumps(good, ensure_ascii=False).encode()
case("json_cut_off", 400, raw[:-1])
case("json_trailing_garbage", 400, raw + b" x")
case("json_two_objects", 400, raw + raw)
case("json_array", 400, b"[" + raw + b"]")
case("json_string", 400, b'"report"')
case("json_empty_body", 400, b"")
case("json_single_quotes", 400, raw.replace(b'"code"', b"'code'"))
case("json_nested_deeper", 400, report(hwid, log=[["nested"]]))
case("json_object_as_log", 400, report(hwid, log={"0": "line"}))
# Members: missing, extra, wrong types, wrong values.
missing = dict(good); del missing["log"]
case("member_missing", 400, missing)
case("member_extra", 400, report(hwid, extra="x"))
case("member_case", 400, {("Code" if k == "code" else k): v for k, v in good.items()})
case("text_number", 400, report(hwid, text=5))
case("text_null", 400, report(hwid, text=None))
case("log_line_number", 400, report(hwid, log=["a", 1]))
case("code_unknown", 400, report(hwid, code="launcher_dir_not_writable"))
case("code_banned", 400, report(hwid, code="banned"))
case("code_upper_case", 400, report(hwid, code="JAVA17_FAILED"))
case("hwid_upper_case", 400, report(hwid.upper(), sig=mac(hwid.upper().encode())))
case("shell_version_short", 400, report(hwid, shell_version="1.0"))
case("windows_version_long", 400, report(hwid, windows_version="10.0.19045.1"))
case("text_empty", 400, report(hwid, text=""))
case("text_4097", 400, report(hwid, text="ж" * 2048 + "x"))
case("log_65_lines", 400, report(hwid, log=["line"] * 65))
case("log_line_1001", 400, report(hwid, log=["x" * 1001]))
case("log_line_with_line_feed", 400, report(hwid, log=["one\ntwo"]))
# Text that cannot be stored: bytes that are not UTF-8, NUL as a byte and as an escape, a lone surrogate.
case("utf8_invalid_byte", 400, raw.replace("Не удалось".encode(), b"\xff\xfe"))
case("utf8_overlong", 400, raw.replace("Не удалось".encode(), b"\xc0\xaf"))
case("nul_byte", 400, raw.replace(b"Java 17.", b"Java\x00 17."))
case("nul_escape_in_text", 400, raw.replace(b"Java 17.", b"Java\\u0000 17."))
case("nul_escape_in_log", 400, raw.replace(b"tab and", b"tab\\u0000and"))
case("nul_escape_in_code", 400, raw.replace(b'"java17_failed"', b'"java17_failed\\u0000"'))
case("lone_surrogate", 400, raw.replace(b"Java 17.", b"Java \\ud800 17."))
with open(f"{out}/cases", "w") as f:
    f.write("\n".join(cases) + "\n")
