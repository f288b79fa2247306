#!/usr/bin/env python3
"""An independent reader and writer of SIRANO.DAT in its base form, for cross-checking the program.

It shares no code with the program: its own generator, Python's own 'cp932' codec, and the base
format only (no doubled quotes, no UTF-8 files, codes below 0x10 written with one digit).

  independent_dat.py write DOC.json OUT.dat     writes a data file from an export document
  independent_dat.py read FILE.dat              prints the export document of a data file
  independent_dat.py canonical FILE.dat         exit 0 when the file is exactly the base format
  independent_dat.py selftest SIRANO_CLI        both directions against sirano-cli
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

BLANK = "Blank Passphrase!"
HEX = "0123456789ABCDEF"


class Generator:
    def __init__(self, state=0x50000):
        self.state = state

    def draw(self):
        self.state = (self.state * 0x43FD43FD + 0xC39EC3) & 0xFFFFFF
        return self.state / 16777216.0

    def reset(self, n):
        b = struct.unpack("<I", struct.pack("<f", n))[0]
        self.state = (b + (b >> 24)) & 0xFFFFFF
        return self.draw()

    def reseed(self, x):
        h = struct.unpack("<Q", struct.pack("<d", x))[0] >> 32
        f = (h ^ (h >> 16)) & 0xFFFF
        self.state = (f << 8) | (self.state & 0xFF)


def encode_text(gen, text):
    k = int(gen.draw() * 10)
    code = ""
    for ch in text:
        b = ch.encode("cp932")
        code += "%X" % b[0] if len(b) == 1 else "%02X%02X" % (b[0], b[1])
    gen.reset(-1.0)
    gen.reseed(k)
    out = str(k)
    for d in reversed(code):
        out += HEX[(int(d, 16) + int(gen.draw() * 16)) % 16]
    return out


def decode_text(gen, stored):
    if stored == "":
        raise ValueError("empty stored text")
    k = int(stored[0]) if stored[0] in "0123456789" else 0
    gen.reset(-1.0)
    gen.reseed(k)
    work = ""
    for ch in stored[1:]:
        d = int(ch, 16) if ch.upper() in HEX else 0
        work += HEX[(d + 16 - int(gen.draw() * 16)) % 16]
    code = work[::-1]
    raw = bytearray()
    pos = 0
    steps = len(code) // 2
    while steps > 0:
        v = int(code[pos:pos + 2], 16)
        if v >= 0x80:
            raw += bytes.fromhex(code[pos:pos + 4])
            pos += 4
            steps -= 2
        else:
            raw.append(v)
            pos += 2
            steps -= 1
    return raw.decode("cp932")


def quoted(text):
    assert '"' not in text and "\r" not in text and "\n" not in text, text
    return '"' + text + '"'


def write_dat(doc, gen):
    s = doc["settings"]
    h = (s["masterPassword"] or BLANK) + "%d" % s["autoLoginAtStart"] + "%03d" % s["autoLogoutMinutes"]
    lines = [quoted(encode_text(gen, h))]
    for i, site in enumerate(doc["sites"]):
        values = [quoted(site["title"]), str(len(site["fields"])), quoted(site["url"]),
                  quoted(site["urlKeyword"])]
        for f in site["fields"]:
            values += [str(f["formIndex"]), str(f["elementIndex"]), quoted(f["type"]),
                       quoted(f["name"]), quoted(encode_text(gen, f["value"]))]
        values.append(str(i))
        lines.append(",".join(values))
    return "".join(line + "\r\n" for line in lines).encode("cp932")


class Values:
    """The base format's value reader: a quoted value runs to the next quote; commas and line ends
    delimit."""

    def __init__(self, text):
        self.text = text
        self.pos = 0
        self.tokens = []  # (raw text of the value, is quoted)

    def at_end(self):
        return self.pos >= len(self.text)

    def next(self):
        t = self.text
        if self.at_end():
            raise ValueError("input past end")
        if t[self.pos] == '"':
            end = t.index('"', self.pos + 1)
            value, quoted_value = t[self.pos + 1:end], True
            self.pos = end + 1
        else:
            end = self.pos
            while end < len(t) and t[end] not in ",\r\n":
                end += 1
            value, quoted_value = t[self.pos:end], False
            self.pos = end
        if t.startswith("\r\n", self.pos):
            self.pos += 2
        elif self.pos < len(t) and t[self.pos] in ",\r\n":
            self.pos += 1
        elif self.pos < len(t):
            raise ValueError("junk after value at %d" % self.pos)
        self.tokens.append((value, quoted_value))
        return value

    def number(self):
        v = self.next()
        return int(v) if v else 0


def read_dat(data, gen):
    values = Values(data.decode("cp932"))
    h = decode_text(gen, values.next())
    sites = []
    while not values.at_end():
        site = {"title": values.next()}
        count = values.number()
        site["url"] = values.next()
        site["urlKeyword"] = values.next()
        site["fields"] = []
        for _ in range(count):
            f = {"formIndex": values.number(), "elementIndex": values.number(),
                 "type": values.next(), "name": values.next()}
            f["value"] = decode_text(gen, values.next())
            site["fields"].append(f)
        values.next()
        sites.append(site)
    password = h[:-4]
    settings = {"masterPassword": "" if password == BLANK else password,
                "autoLoginAtStart": int(h[-4]), "autoLogoutMinutes": int(h[-3:])}
    return {"format": "sirano", "version": 1, "settings": settings, "sites": sites}, values


def is_canonical(data):
    """True when data is exactly what the base format's writer makes of its own contents."""
    doc, values = read_dat(data, Generator())
    tokens = iter(values.tokens)
    rebuilt = []

    def take(kind):
        value, was_quoted = next(tokens)
        if was_quoted != (kind == "text"):
            raise ValueError("value %r has the wrong kind" % value)
        return quoted(value) if kind == "text" else str(int(value))

    rebuilt.append(take("text"))
    for i, site in enumerate(doc["sites"]):
        line = [take("text"), take("number"), take("text"), take("text")]
        for _ in site["fields"]:
            line += [take("number"), take("number"), take("text"), take("text"), take("text")]
        index = take("number")
        if index != str(i):
            raise ValueError("entry %d carries index %s" % (i, index))
        rebuilt.append(",".join(line + [index]))
    return "".join(line + "\r\n" for line in rebuilt).encode("cp932") == data


def field(form, element, type_, name, value):
    return {"formIndex": form, "elementIndex": element, "type": type_, "name": name, "value": value}


def document(password, login, minutes, sites):
    return {"format": "sirano", "version": 1,
            "settings": {"masterPassword": password, "autoLoginAtStart": login,
                         "autoLogoutMinutes": minutes},
            "sites": sites}


CASES = {
    "empty table, no password": document("", 0, 0, []),
    "mixed entries": document("secret", 1, 5, [
        {"title": "Log in, please", "url": "https://bank.example/login?a=1,2", "urlKeyword": "",
         "fields": [field(0, 0, "text", "user", "alice"), field(0, 1, "password", "pw", "p@ss,w0rd"),
                    field(0, 2, "checkbox", "remember", "True"), field(1, 0, "text", "note", "")]},
        {"title": "ログイン｜銀行", "url": "https://例え.jp/ログイン", "urlKeyword": "ログイン",
         "fields": [field(0, 3, "TEXT", "名前", "山田　太郎"), field(2, 7, "Password", "暗証", "ﾊﾟｽ～ワード")]},
        {"title": "", "url": "http://no-fields.example/", "urlKeyword": "keyword", "fields": []},
    ]),
    "password ending in digits": document("pass1234", 0, 999, [
        {"title": "Many fields", "url": "http://many.example/", "urlKeyword": "many",
         "fields": [field(j // 10, j, "text", "f%d" % j, "value %d \\ ~" % j) for j in range(101)]},
    ]),
    "japanese password": document("暗証番号９", 1, 30, [
        {"title": "A", "url": "", "urlKeyword": "", "fields": [field(-1, 32767, "", "", "x")]},
    ]),
}


def run(cli, args, stdin=""):
    return subprocess.run([cli] + args, input=stdin.encode("utf-8"), capture_output=True,
                          timeout=60)


def selftest(cli):
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, doc in CASES.items():
            dat = os.path.join(tmp, "SIRANO.DAT")
            for path in (dat,):
                if os.path.exists(path):
                    os.remove(path)
            # Written here, read by the program.
            with open(dat, "wb") as out:
                out.write(write_dat(doc, Generator()))
            password = doc["settings"]["masterPassword"] + "\n"
            r = run(cli, ["export", "--data", dat], password)
            if r.returncode != 0:
                failures.append("%s: export failed: %s" % (name, r.stderr.decode()))
            elif json.loads(r.stdout) != doc:
                failures.append("%s: export differs:\n%s" % (name, r.stdout.decode()))

            # Written by the program's import, read here.
            os.remove(dat)
            doc_file = os.path.join(tmp, "doc.json")
            with open(doc_file, "w", encoding="utf-8") as out:
                json.dump(doc, out, ensure_ascii=False)
            r = run(cli, ["import", doc_file, "--data", dat])
            if r.returncode != 0:
                failures.append("%s: import failed: %s" % (name, r.stderr.decode()))
                continue
            with open(dat, "rb") as f:
                data = f.read()
            try:
                back, _ = read_dat(data, Generator())
                if back != doc:
                    failures.append("%s: the imported file reads back as\n%s" % (name, back))
                if not is_canonical(data):
                    failures.append("%s: the imported file is not in the base format" % name)
            except (ValueError, UnicodeDecodeError) as e:
                failures.append("%s: the imported file cannot be read: %s" % (name, e))
    for f in failures:
        print("FAIL:", f)
    print("%d cases, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


def main(argv):
    if len(argv) == 4 and argv[1] == "write":
        with open(argv[2], encoding="utf-8") as f:
            doc = json.load(f)
        with open(argv[3], "wb") as out:
            out.write(write_dat(doc, Generator()))
        return 0
    if len(argv) == 3 and argv[1] == "read":
        with open(argv[2], "rb") as f:
            doc, _ = read_dat(f.read(), Generator())
        json.dump(doc, sys.stdout, ensure_ascii=False, indent=1)
        print()
        return 0
    if len(argv) == 3 and argv[1] == "canonical":
        with open(argv[2], "rb") as f:
            return 0 if is_canonical(f.read()) else 1
    if len(argv) == 3 and argv[1] == "selftest":
        return selftest(argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
