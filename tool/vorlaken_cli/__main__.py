"""The command line: argument parsing, the four commands, exit status and error reporting.

Both ``python -m vorlaken_cli`` and the console script run this; the package's __init__ hands
main and run out from here.
"""

import argparse
import functools
import json
import os
import sys

import vorlaken

from .canonical import canonical_fault, decode
from .common import Failure, deeper
from .jsonform import from_json, parse_json, to_json
from .summary import show

PROG = "vorlaken"


def read_input(path, stdin):
    if path == "-":
        return stdin.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(e.strerror or str(e)) from None


def cmd_show(args, stdin, stdout):
    show(read_input(args.file, stdin), stdout)
    return 0


def cmd_dump(args, stdin, stdout):
    value = decode(read_input(args.file, stdin))
    layout = {"separators": (",", ":")} if args.compact else {"indent": 2}
    with deeper():
        dumped = json.dumps(to_json(value), ensure_ascii=False, **layout)
    _write(args, stdout, (dumped + "\n").encode("utf-8"))
    return 0


def cmd_encode(args, stdin, stdout):
    parsed = parse_json(read_input(args.file, stdin))
    with deeper():
        encoded = vorlaken.bencode(from_json(parsed))
    _write(args, stdout, encoded)
    return 0


def cmd_check(args, stdin, stdout):
    data = read_input(args.file, stdin)
    fault = canonical_fault(data)
    refused = again = None
    try:
        value = vorlaken.bdecode(data)
    except (vorlaken.BTFailure, RecursionError, OverflowError) as e:
        refused = e
    else:
        with deeper():
            again = vorlaken.bencode(value)
    name = _name(args.file)
    if fault is None:
        if refused is None and again != data:  # the two answers must agree
            raise Failure("internal error: canonical in form, but re-encoding changes it")
        stdout.write(f"{name}: canonical\n".encode())
        if refused is not None:  # the form is fine; this interpreter cannot hold the value
            stdout.write(f"{name}: note: bdecode refuses it here: {_refusal(refused)}\n".encode())
        return 0
    offset, reason = fault
    stdout.write(f"{name}: not canonical at offset {offset}: {reason}\n"
                 .encode("utf-8", "backslashreplace"))
    if refused is None:
        stdout.write(f"{name}: bdecode reads it, but bencode writes it back differently\n"
                     .encode())
    else:
        stdout.write(f"{name}: bdecode refuses it: {_refusal(refused)}\n".encode())
    return 1


def _refusal(e):
    if isinstance(e, RecursionError):
        return "nesting deeper than the interpreter's recursion limit"
    return str(e)


def _write(args, stdout, payload):
    if args.output in (None, "-"):
        stdout.write(payload)
        return
    try:
        with open(args.output, "wb") as f:
            f.write(payload)
    except OSError as e:
        raise Failure(f"{args.output}: {e.strerror or e}") from None


def _name(path):
    return "<stdin>" if path == "-" else path


class _Parser(argparse.ArgumentParser):
    # One line on standard error for a usage mistake too, like every other refusal.
    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


@functools.cache
def parser():
    # Built once: parsing leaves the parser as it was, and building one is most of the cost of
    # a call of main() on a small input.
    p = _Parser(prog=PROG, description="Look into torrents and other bencoded files.",
                epilog="FILE may be '-' for standard input. Exit status 0 on success, 1 when "
                       "check finds non-canonical input, 2 for input the command cannot use.")
    p.add_argument("--version", action="version", version=f"{PROG} {vorlaken.__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True,
                           parser_class=_Parser)

    def command(name, func, help, description):
        c = sub.add_parser(name, help=help, description=description)
        c.add_argument("file", metavar="FILE", help="the input file, or - for standard input")
        c.set_defaults(func=func)
        return c

    command("show", cmd_show, "summarise a torrent",
            "Print a torrent's name, info-hashes (v1 SHA-1; v2 SHA-256 for v2 and hybrid "
            "torrents, both over the info dictionary's bytes as they stand in the file), size, "
            "pieces, dates, trackers, web seeds and file tree.")
    c = command("dump", cmd_dump, "print the decoded value as JSON",
                "Print the decoded value as JSON. Byte strings that are valid UTF-8 become "
                "strings; others become {\"$hex\": \"...\"}. Dictionary keys that are not UTF-8 "
                "become \"$hex:...\", and a key that starts with '$' gets another '$' in front. "
                "'vorlaken encode' reads this form back.")
    c.add_argument("--compact", action="store_true", help="no indentation or spaces")
    c.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    c = command("encode", cmd_encode, "turn JSON in dump's form back into bencode",
                "Read JSON in the form that 'vorlaken dump' writes and write its bencode. For "
                "canonical input, dump then encode gives back the very same bytes.")
    c.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    command("check", cmd_check, "tell whether the input is canonical bencode",
            "Tell whether the input is canonical bencode, that is whether decoding and encoding "
            "it again gives the same bytes, and if not, the first offset where it deviates and "
            "why. Exit status 0 if canonical, 1 if not, 2 if the file cannot be read.")
    return p


class _WholeWrites:
    """A byte stream whose write() writes everything or raises.

    A buffered stream that runs into a closed pipe part way through a large write reports the
    bytes it got out and drops the rest without an error; the next write then raises.
    """

    def __init__(self, stream):
        self.stream = stream

    def write(self, data):
        view = memoryview(data)
        while view:
            n = self.stream.write(view)
            if not n:
                raise OSError("cannot write to standard output")
            view = view[n:]

    def flush(self):
        self.stream.flush()


def main(argv=None, stdin=None, stdout=None, stderr=None):
    stdin = stdin if stdin is not None else sys.stdin.buffer
    stdout = _WholeWrites(stdout if stdout is not None else sys.stdout.buffer)
    stderr = stderr if stderr is not None else sys.stderr
    try:
        args = parser().parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    try:
        code = args.func(args, stdin, stdout)
        stdout.flush()
        return code
    except Failure as e:
        stderr.write(f"{PROG}: {_name(args.file)}: {e}\n")
    except BrokenPipeError:
        # The reader went away (a pager, head): nothing more to say to it.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except RecursionError:
        stderr.write(f"{PROG}: {_name(args.file)}: nesting too deep\n")
    except Exception as e:  # a fault of the tool itself: still one line, no traceback
        stderr.write(f"{PROG}: {_name(args.file)}: internal error: {type(e).__name__}: {e}\n")
    return 2


def _silence_stdout():
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def run():
    """Console-script entry point."""
    sys.exit(main())


if __name__ == "__main__":
    run()
