"""The ``vorlaken`` command: look into torrents and other bencoded files.

    vorlaken show FILE     summary of a torrent, with its info-hashes
    vorlaken dump FILE     the decoded value as JSON
    vorlaken encode FILE   JSON in the form that dump writes, back to bencode
    vorlaken check FILE    whether FILE is canonical bencode, and where it is not

FILE may be ``-`` for standard input. Exit status: 0 on success (for check: canonical), 1 when
check finds the input is not canonical, 2 when the input cannot be read or is not what the
command needs; the reason is then one line on standard error.

This lives in a package of its own so that the extension's namespace stays exactly what the
extension itself binds. Its parts: ``canonical`` (where bytes leave canonical bencode or stop
the readers), ``jsonform`` (the JSON form of dump and encode), ``summary`` (what show prints),
``common`` (what they all share) and ``__main__`` (the command line).
"""

from typing import TYPE_CHECKING

from .canonical import canonical_fault, reader_fault

if TYPE_CHECKING:
    from .__main__ import main, run

__all__ = ["canonical_fault", "main", "reader_fault", "run"]


def __getattr__(name):
    # The command line is imported when first asked for, not here: "python -m vorlaken_cli"
    # imports this package before it runs __main__, and finding __main__ already imported would
    # make it run a second copy of the module and warn on standard error.
    if name in ("main", "run"):
        from . import __main__
        return getattr(__main__, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
