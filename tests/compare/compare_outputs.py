"""Repairs the same seeded inputs with one build of csv_mendle and records
what came out, so that two builds can be shown to repair byte for byte alike.

    digest --build DIR --out FILE   one line per case: its name and a sha256
                                    of everything its repairs produced
    show --build DIR --case NAME    everything the repairs of one case produced,
                                    as JSON on stdout
    compare BASE_DIR HEAD_DIR       runs digest in both builds at once, then
                                    shows the first case they disagree on

Each build is imported in a process of its own (the two share a module name),
always through the stable Python API: mendle_file, open and sniff of
csv_mendle._csv_mendle_backend.  The cases are the committed fuzz corpora,
then --cases random inputs in the shapes of the test suites' generators, each
repaired with the default options and a spread of others.  A case is made
from its name and the seed alone, so any one of them can be made again."""

import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
CORPORA = os.path.join(CHECKOUT, "fuzz", "corpus")

BOM = b"\xef\xbb\xbf"

# ---- the option values ----


def _first_byte_chars():
    """For every byte that can lead a UTF-8 sequence, a character whose UTF-8
    form starts with it: the API takes the first byte of an option's UTF-8
    form, so these reach every byte the core can be given from Python."""
    chars = {b: chr(b) for b in range(0x80)}
    for code in range(0x80, 0x110000, 0x40):
        if 0xD800 <= code < 0xE000:
            continue
        chars.setdefault(chr(code).encode()[0], chr(code))
    return chars


FIRST_BYTE_CHARS = _first_byte_chars()


def option_char(byte):
    """The option string standing for `byte`, or None where no string can."""
    return FIRST_BYTE_CHARS.get(byte)


# Weighted choices: (value, weight).  The usual values carry most weight; the
# odd ones (a blank, a quote, NUL or a byte of 0x80 and above as delimiter,
# the delimiter equal to the quote) are there to stay exercised.
DELIMITERS = [(None, 10), ("", 1), (",", 8), (";", 5), ("\t", 4), ("|", 4), ("\u00a7", 2),
              ("\u00e9", 2), ("\u20ac", 1), (" ", 1), ('"', 1), ("'", 1), ("\x00", 1), (",;", 1)]
QUOTES = [('"', 12), ("'", 6), ("", 1), ("|", 1), ("\u00e9", 1), (",", 1), (" ", 1)]
WIDTHS = [(None, 8), (0, 3), (1, 2), (2, 3), (3, 3), (4, 2), (5, 2), (6, 1), (10, 1), (300, 1)]

UINT64_MAX = 2**64 - 1


def weighted(rng, table):
    values, weights = zip(*table)
    return rng.choices(values, weights)[0]


def random_options(rng):
    """One option set; absent keys take the API's defaults."""
    options = {}
    if rng.random() < 0.8:
        options["delimiter"] = weighted(rng, DELIMITERS)
    if rng.random() < 0.6:
        options["quote_char"] = weighted(rng, QUOTES)
    for flag in ("fill_ragged_rows", "merge_overflow", "repair_quotes"):
        if rng.random() < 0.7:
            options[flag] = rng.random() < 0.6
    if rng.random() < 0.8:
        options["expected_columns"] = weighted(rng, WIDTHS)
    # A width no row can have: quarantined rows name it, and padding to it
    # fails for want of memory.
    if rng.random() < 0.003:
        options["expected_columns"] = rng.choice([10**12, UINT64_MAX])
    return options


# ---- the inputs ----

# Bytes that are not UTF-8, or only part of it: a lone continuation byte, a
# lead byte without its continuation, an overlong form, an encoded
# surrogate, a code point past U+10FFFF, bytes that never occur.
INVALID = [b"\x80", b"\xc3", b"\xe2\x82", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
           b"\xff", b"\xfe"]
# The single-byte alphabets of the C++ random tests, together.
ALPHABET = b"ab7,,;|\"\"' \t\r\n\n\xc3\xa9\xff\x00"
# Pieces of damaged CSV, as the Python property tests draw them.
PIECES = [p.encode() for p in ["a", "b", "7", "x y", " ", ",", ";", "\t", "|", '"', "'", '""', "\n",
                               "\r", "\r\n", "\u00e9", "\u00a7", "\u00a0", "\ufeff", "\x00"]]
FIELDS = ["a", "b c", "", " ", '"', "'", "\u00e9", ",", ";", "|", "\n"]
LETTERS = [b"a", b"b", b"7", b" ", b"\t", b"\xc3\xa9", b"\xe2\x82\xac", b"\xff"]
TOKENS = [b"alpha", b"beta", b"", b'"x, y"', b'"plain"', b'"say ""hi"""', b'"a "b" c"',
          b'mid"quote', b"caf\xc3\xa9", b"bad\xff", b'"q" ', b'"two\nlines"',
          b"0123456789012345678901234567890123456789"]
WORD_LETTERS = b"abcdefghijklmnopqrstuvwxyz0123456789"


def short_bytes(rng):
    return bytes(rng.choices(ALPHABET, k=rng.randrange(rng.choice([24, 40, 120]))))


def pieces(rng):
    return b"".join(rng.choices(PIECES, k=rng.randrange(81)))


def mixed_pieces(rng):
    parts = []
    for _ in range(rng.randrange(31)):
        parts.append(rng.choice(PIECES) if rng.random() < 0.5 else rng.randbytes(rng.randint(1, 3)))
    return b"".join(parts)


def binary(rng):
    return rng.randbytes(rng.randrange(61))


def table_text(rng):
    """Rows of mostly one width, some fields quoted, some rows ragged; at
    times more rows than the heuristics look at."""
    delimiter = rng.choice([",", ";", "\t", "|"])
    width = rng.randint(1, 5)
    rows = rng.randrange(13) if rng.random() < 0.8 else rng.randrange(40, 160)
    lines = []
    for _ in range(rows):
        n = width if rng.random() < 0.6 else rng.randint(1, 7)
        fields = []
        for _ in range(n):
            field = "".join(rng.choices(FIELDS, k=rng.randrange(4)))
            if rng.random() < 0.5:
                field = '"' + field.replace('"', '""') + '"'
            fields.append(field)
        lines.append(delimiter.join(fields))
    ending = rng.choice(["\n", "\r\n", "\r"])
    return (ending.join(lines) + rng.choice(["", ending])).encode()


def long_rows(rng):
    """Rows of many fields, long enough for the block scans: plain fields
    between the ones that need judgement (stray, doubled and unclosed
    quotes, blanks or text behind a closing quote, line breaks inside
    quotes), some rows past the scans' reach."""
    d = rng.choice(b",,;\t ").to_bytes(1, "big")
    q = rng.choice(b"\"\"'").to_bytes(1, "big")
    odd = rng.random() < 1 / 3

    def word(longest):
        return b"".join(rng.choice(LETTERS if odd else LETTERS[:3]) for _ in range(rng.randrange(longest + 1)))

    def field(clean):
        kind = rng.randrange(3 if clean else 14)
        return [
            lambda: word(70 if rng.random() < 0.125 else 9),
            lambda: q + word(6) + d + word(6) + q,
            lambda: q + word(6) + q,
            lambda: q + word(3) + q + q + word(3) + q,
            lambda: q + word(3) + q + word(3) + q,
            lambda: q + word(3) + q + b" \t",
            lambda: word(3) + q + word(3),
            lambda: q + word(3) + b"\n" + word(3) + q,
            lambda: q + word(3) + b"\r\n" + word(3) + q,
            lambda: q + word(40),
            lambda: q + word(3) + q + b"x",
            lambda: q + word(3) + q + b" " + word(3) + q,
            lambda: q + word(3) + q + word(3) + q + q + word(3) + q,
            lambda: b"",
        ][kind]()

    out = []
    for _ in range(1 + rng.randrange(40)):
        clean = rng.random() < 2 / 3
        fields = 1 + rng.randrange(120 if rng.random() < 0.1 else 14)
        out.append(d.join(field(clean) for _ in range(fields)))
        out.append(rng.choice([b"\n"] * 7 + [b"\r\n"] * 2 + [b"\r"]))
    if rng.random() < 0.5:
        out.pop()
    return b"".join(out)


def token_rows(rng):
    """Comma rows of tokens, mostly plain ones, as the file tests write them."""
    out = []
    for _ in range(1 + rng.randrange(30)):
        fields = 0 if rng.random() < 0.1 else 2 + rng.randrange(6)
        row = []
        for _ in range(fields):
            token = TOKENS[rng.randrange(len(TOKENS)) if rng.random() < 1 / 6 else rng.randrange(5)]
            row.append(token + (TOKENS[rng.randrange(2)] if rng.random() < 0.5 else b""))
        out.append(b",".join(row) + (b"\r\n" if rng.random() < 0.125 else b"\n"))
    data = b"".join(out)
    return data[:-1] if rng.random() < 0.5 else data


def bench_rows(rng, target=None):
    """Ten short fields a row, the fourth quoted with a comma inside; a share
    of rows damaged: too few fields, too many, stray quotes."""
    target = target or rng.randint(100, 30000)
    damaged_share = rng.choice([0.0, 0.05, 0.3, 1.0])
    out = []
    size = 0

    def word():
        return bytes(rng.choices(WORD_LETTERS, k=rng.randint(2, 12)))

    while size < target:
        columns, kind = 10, -1
        if rng.random() < damaged_share:
            kind = rng.randrange(3)
            columns = {0: 6, 1: 13}.get(kind, 10)
        fields = []
        for c in range(columns):
            if kind == 2 and c == 4:
                fields.append(b'"say "hi" there"')
            elif c == 3:
                fields.append(b'"' + word() + b", " + word() + b'"')
            else:
                fields.append(word())
        row = b",".join(fields) + b"\n"
        out.append(row)
        size += len(row)
    return b"".join(out)


def stray_quote_lines(rng):
    """Lines that open a quote and then hold "x\"y" over and over, so that
    every quote needs the stray-quote test, among ordinary rows."""
    lines = []
    for _ in range(rng.randint(1, 4)):
        if rng.random() < 0.5:
            lines.append(b'"' + b'x"y' * rng.randrange(1, 1000) + b"\n")
        else:
            lines.append(b"a,b,c\n")
    return b"".join(lines)


def large(rng):
    """Inputs past the writer's buffers and the 64 KiB and 1 MiB marks: many
    rows, or one field longer than those."""
    if rng.random() < 0.5:
        return bench_rows(rng, rng.randint(65536, 1_500_000))
    big = bytes(rng.choices(b"xyz,\"", weights=[30, 30, 30, 1, 1], k=rng.randint(60000, 1_200_000)))
    return b"a,b\n\"" + big + b"\",c\n" + bench_rows(rng, 2000)


SHAPES = [(short_bytes, 6), (pieces, 4), (mixed_pieces, 3), (binary, 2), (table_text, 6),
          (long_rows, 6), (token_rows, 4), (bench_rows, 2), (stray_quote_lines, 1)]


def damage(rng, data):
    """Blemishes on a generated input: a byte-order mark (or two), bytes that
    are not UTF-8, a stray quote, a lost final line break."""
    if rng.random() < 0.125:
        data = BOM * (2 if rng.random() < 0.1 else 1) + data
    for _ in range(rng.choice([0, 0, 0, 1, 2])):
        at = rng.randrange(len(data) + 1)
        data = data[:at] + rng.choice(INVALID + [b'"', b"'"]) + data[at:]
    if data.endswith(b"\n") and rng.random() < 0.1:
        data = data[:-1]
    return data


def random_case(seed, index):
    """The input and the option sets of random case `index`."""
    rng = random.Random(seed * 1_000_003 + index)
    if rng.random() < 0.0006:
        data = large(rng)
        option_sets = [{}, random_options(rng)]
    else:
        shapes, weights = zip(*SHAPES)
        data = damage(rng, rng.choices(shapes, weights)[0](rng))
        option_sets = [{}] + [random_options(rng) for _ in range(3)]
    return data, option_sets


def harness_options(name, raw):
    """The options a fuzz harness reads from the head of its input, as far as
    the Python API can pass them, and the data behind them."""
    if name == "parser":  # delimiter, quote, repair flag
        head = raw[:3]
        options = {"expected_columns": 0}
        if len(head) > 0 and option_char(head[0]) is not None:
            options["delimiter"] = option_char(head[0])
        if len(head) > 1 and option_char(head[1]) is not None:
            options["quote_char"] = option_char(head[1])
        if len(head) > 2:
            options["repair_quotes"] = bool(head[2] & 1)
        return options, raw[3:]
    if len(raw) < 4:  # the repair harnesses skip inputs this short
        return None, b""
    flags = raw[0]
    options = {"fill_ragged_rows": bool(flags & 4), "merge_overflow": bool(flags & 8),
               "repair_quotes": bool(flags & 16)}
    if flags & 1 and option_char(raw[1]) is not None:
        options["delimiter"] = option_char(raw[1])
    if flags & 2 and option_char(raw[2]) is not None:
        options["quote_char"] = option_char(raw[2])
    if flags & 32:
        options["expected_columns"] = raw[3] % 16
    return options, raw[4:]


def corpus_names():
    names = []
    for harness in sorted(os.listdir(CORPORA)):
        for entry in sorted(os.listdir(os.path.join(CORPORA, harness))):
            names.append(f"corpus/{harness}/{entry}")
    return names


def corpus_inputs(name, seed):
    """A corpus file gives two inputs: its bytes whole, with the default and
    random options, and its data with the options its harness reads."""
    _, harness, entry = name.split("/")
    with open(os.path.join(CORPORA, harness, entry), "rb") as handle:
        raw = handle.read()
    rng = random.Random(f"{seed}/{name}")
    inputs = [(raw, [{}] + [random_options(rng) for _ in range(3)])]
    options, data = harness_options(harness, raw)
    if options is not None:
        inputs.append((data, [options]))
    return inputs


def case_inputs(name, seed):
    if name.startswith("corpus/"):
        return corpus_inputs(name, seed)
    return [random_case(seed, int(name.removeprefix("random/")))]


def case_names(cases):
    return corpus_names() + [f"random/{i}" for i in range(cases)]


# ---- the repairs ----


def load_backend(build):
    """The extension of the build in `build`, and never another one."""
    package = os.path.join(build, "python")
    sys.path.insert(0, package)
    from csv_mendle import _csv_mendle_backend as backend

    if not os.path.realpath(backend.__file__).startswith(os.path.realpath(package) + os.sep):
        sys.exit(f"compare: imported {backend.__file__}, not the build in {build}")
    return backend


class Repairs:
    """Runs every repair of an input through the API and yields what it
    produced, piece by piece, as (label, bytes or a Python value)."""

    def __init__(self, backend, scratch):
        self.backend = backend
        self.input = os.path.join(scratch, "input.csv")
        self.output = os.path.join(scratch, "output.csv")
        self.quarantine = os.path.join(scratch, "quarantine.csv")

    def _read_and_remove(self, path):
        try:
            with open(path, "rb") as handle:
                content = handle.read()
        except FileNotFoundError:
            return None
        os.unlink(path)
        return content

    def results(self, data, option_sets, variant):
        with open(self.input, "wb") as handle:
            handle.write(data)
        yield "sniff", self._call(lambda: self.backend.sniff(data[:65536].decode("utf-8", "replace")))
        for number, options in enumerate(option_sets):
            tag = f"options {number}:"
            # Now and then without a quarantine file: its rows are then only counted.
            quarantine = None if (variant + number) % 7 == 3 else self.quarantine
            yield tag + " mendle_file", self._call(
                lambda: self._summary(self.backend.mendle_file(self.input, self.output, quarantine, **options)))
            yield tag + " output", self._read_and_remove(self.output)
            yield tag + " quarantine", self._read_and_remove(self.quarantine)
            yield tag + " reader", self._call(lambda: self._read(options))

    def _summary(self, summary):
        return summary.to_dict(), repr(summary)

    def _read(self, options):
        reader = self.backend.open(self.input, **options)
        rows = list(reader)
        return rows, len(reader), self._summary(reader.summary), list(reader)

    @staticmethod
    def _call(function):
        try:
            return function()
        except Exception as error:  # the exception is part of the behaviour compared
            return ("raised", type(error).__name__, str(error))


def case_results(repairs, name, seed):
    for variant, (data, option_sets) in enumerate(case_inputs(name, seed)):
        yield f"input {variant}", data
        yield f"input {variant} options", option_sets
        for label, value in repairs.results(data, option_sets, variant):
            yield f"input {variant}, {label}", value


def as_bytes(value):
    if isinstance(value, bytes):
        return value
    return repr(value).encode("utf-8", "surrogatepass")


def digest(args):
    backend = load_backend(args.build)
    scratch = tempfile.mkdtemp(prefix="csv_mendle_compare.")
    repairs = Repairs(backend, scratch)
    try:
        with open(args.out, "w") as out:
            for name in case_names(args.cases):
                hasher = hashlib.sha256()
                for label, value in case_results(repairs, name, args.seed):
                    content = as_bytes(value)
                    hasher.update(f"{label}:{len(content)}:".encode())
                    hasher.update(content)
                out.write(f"{name} {hasher.hexdigest()}\n")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def show(args):
    backend = load_backend(args.build)
    scratch = tempfile.mkdtemp(prefix="csv_mendle_compare.")
    try:
        results = [(label, repr(value)) for label, value in case_results(Repairs(backend, scratch), args.case, args.seed)]
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    json.dump(results, sys.stdout)


# ---- both builds ----


def first_difference(base_file, head_file):
    count = -1
    with open(base_file) as base, open(head_file) as head:
        for count, (a, b) in enumerate(zip(base, head)):
            if a != b:
                return a.split()[0], count
        # The files stop together unless a run broke off.
        rest = base.readline() or head.readline()
        if rest:
            return rest.split()[0], count + 1
    return None, count + 1


def clip(text, limit):
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


def compare(args):
    work = args.work
    os.makedirs(work, exist_ok=True)
    me = os.path.abspath(__file__)
    started = time.monotonic()
    runs = {}
    for side, build in (("base", args.base_build), ("head", args.head_build)):
        out = os.path.join(work, f"{side}.digests")
        runs[side] = (out, subprocess.Popen(
            [sys.executable, me, "digest", "--build", build, "--out", out, "--cases", str(args.cases),
             "--seed", str(args.seed)]))
    failed = [side for side, (_, process) in runs.items() if process.wait() != 0]
    if failed:
        sys.exit(f"compare: the digest run of {' and '.join(failed)} failed")
    elapsed = time.monotonic() - started
    name, count = first_difference(runs["base"][0], runs["head"][0])
    if name is None:
        print(f"compare: {count} cases ({len(corpus_names())} corpus files, {args.cases} random inputs, "
              f"seed {args.seed}) repair alike in both builds; {elapsed:.0f} s")
        return

    shown = {}
    for side, build in (("base", args.base_build), ("head", args.head_build)):
        text = subprocess.run([sys.executable, me, "show", "--build", build, "--case", name, "--seed",
                               str(args.seed)], check=True, capture_output=True, text=True).stdout
        shown[side] = json.loads(text)
    report = os.path.join(work, "first_difference.json")
    with open(report, "w") as handle:
        json.dump({"case": name, "seed": args.seed, **shown}, handle, indent=1)
    print(f"compare: the builds differ, first at case {name} (case {count + 1} of the run, seed {args.seed})")
    base, head = dict(shown["base"]), dict(shown["head"])
    for label, value in shown["base"]:
        if "," not in label:  # the input and its option sets
            print(f"  {label}: {clip(value, args.limit)}")
    for label in dict.fromkeys([label for label, _ in shown["base"] + shown["head"]]):
        if base.get(label) != head.get(label):
            print(f"  first difference in {label}:")
            print(f"    base: {clip(base.get(label, '(missing)'), args.limit)}")
            print(f"    head: {clip(head.get(label, '(missing)'), args.limit)}")
            break
    print(f"  everything both builds produced for this case: {report}")
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    d = commands.add_parser("digest")
    d.add_argument("--build", required=True)
    d.add_argument("--out", required=True)
    s = commands.add_parser("show")
    s.add_argument("--build", required=True)
    s.add_argument("--case", required=True)
    c = commands.add_parser("compare")
    c.add_argument("base_build")
    c.add_argument("head_build")
    c.add_argument("--work", required=True, help="where the digests and the report go")
    c.add_argument("--limit", type=int, default=20000, help="characters of a value printed")
    for command in (d, c):
        command.add_argument("--cases", type=int, default=100_000)
    for command in (d, s, c):
        command.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    {"digest": digest, "show": show, "compare": compare}[args.command](args)


if __name__ == "__main__":
    main()
