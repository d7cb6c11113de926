"""Typed interface of the qern_native extension module.

Every failure of a parse, load or merge raises `RuntimeError` whose text is the error's
exact message, and which says where the error happened in these attributes (`None` where
unknown; errors of `validate_value` and `[]` have no place):

- `filename: str | None`: the file as its path was given; `None` for text from a string;
- `lineno`, `colno`, `end_lineno`, `end_colno: int | None`: 1-based, columns counted in
  characters, the end one past the offending part;
- `qern_chain: list[tuple[str | None, int]]`: the `@import` / `@derive` lines that led to
  the file, outermost first;
- `code: str`: the error's stable code, the same that `qern check` prints (`parse`, ...);

and one note, shown by tracebacks, such as `in conf/features.qrn:4:1, imported from
app.qrn:2`. `_LocatedError` spells these out for type checkers:
`cast(_LocatedError, err).lineno`.

`to_typed_dict()` raises `ValueError` for a value that has no value of its declared type;
`_ConversionError` names its attributes.

`FrozenQERN`, the snapshot `QERN.freeze()` returns, is an attribute of the module beside
the two that `__all__` lists: `from qern_native import FrozenQERN`; so are `check()`, which
checks files as `qern check` does, and its result types `Diagnostic` and `Hint`.
"""

from __future__ import annotations

import datetime
import os
from collections.abc import ItemsView, Iterator, KeysView, Mapping, Sequence, ValuesView
from typing import ClassVar, NamedTuple, TypeAlias, TypeVar, final, overload

_T = TypeVar("_T")

# A value of to_typed_dict: its type follows from the key's declared type alone.
_TypedValue: TypeAlias = (
    "str | int | float | bool | datetime.date | datetime.datetime | datetime.timedelta"
    " | tuple[float, ...] | tuple[tuple[float, ...], ...] | list[_TypedValue]"
    " | dict[str, _TypedValue]"
)

__all__ = ["QERN", "__version__"]
__version__: str

class _ConversionError(ValueError):
    """What the ValueError of to_typed_dict carries (not a real class)."""

    key: str
    value: str
    type_name: str

class _LocatedError(RuntimeError):
    """The attributes every `RuntimeError` raised by this module carries (not a real class)."""

    filename: str | None
    lineno: int | None
    colno: int | None
    end_lineno: int | None
    end_colno: int | None
    qern_chain: list[tuple[str | None, int]]
    code: str

@final
class Hint(NamedTuple):
    """A suggested mend: write `replacement` in place of the span."""

    message: str
    replacement: str
    file: str | None
    line: int
    column: int
    end_line: int
    end_column: int

@final
class Diagnostic(NamedTuple):
    """One problem `check()` found: where, how severe, its code and exact message."""

    file: str | None
    line: int | None
    column: int | None
    end_line: int | None
    end_column: int | None
    severity: str
    code: str
    message: str
    chain: tuple[tuple[str | None, int], ...]
    hints: tuple[Hint, ...]

def check(
    paths: Sequence[str | os.PathLike[str]],
    *,
    strict: bool = False,
    directory: str | os.PathLike[str] | None = None,
) -> list[Diagnostic]:
    """Check the files as `qern check` does; the diagnostics, empty when all is well."""

@final
class QERN:
    """Python-facing wrapper around the `QERN` parser.

    All methods that can fail raise `RuntimeError` with a descriptive message.
    """

    def __new__(cls) -> QERN: ...
    @staticmethod
    def parse(content: str) -> QERN:
        """Parse an QERN string and return a new instance."""
    @staticmethod
    def load(path: str) -> QERN:
        """Load an QERN file from disk and return a new instance."""
    def merge_content(self, content: str) -> None:
        """Merge QERN text into this instance (modifies in-place)."""
    def merge_file(self, path: str) -> None:
        """Merge an QERN file into this instance (modifies in-place)."""
    def find_obj(self, key: str) -> str | None:
        """Forward lookup, with a reverse lookup when no direct key is found."""
    def find_key(self, value: str) -> str | None:
        """Reverse lookup: the key whose value equals `value`, or `None`."""
    def find_deep(self, key: str) -> str | None:
        """Deep lookup: follow key→value→key chains until a terminal or cycle."""
    def find_list(self, key: str) -> list[str] | None:
        """The value of `key` parsed as a list `[a, b, c]`, or `None`."""
    def find_object(self, key: str) -> dict[str, str] | None:
        """The value of `key` parsed as an inline object `{ k = v, ... }`, or `None`."""
    def keys(self) -> list[str]:
        """All keys stored in this instance."""
    def to_dict(self) -> dict[str, str]:
        """A `dict` of all key-value pairs."""
    def validate_value(self, type_name: str, value: str) -> None:
        """Validate `value` against a built-in or registered type name."""
    def to_typed_dict(self) -> dict[str, _TypedValue]:
        """All pairs, in the order of first assignment, each value of a key a schema
        declares converted to its type's Python value; `ValueError` when one does not
        convert."""
    def freeze(self) -> FrozenQERN:
        """An immutable snapshot of this document, which any thread may read."""
    def __len__(self) -> int: ...
    def __contains__(self, key: str) -> bool: ...
    def __getitem__(self, key: str) -> str: ...

@final
class FrozenQERN(Mapping[str, str]):
    """An immutable snapshot of a `QERN` document, made by `QERN.freeze()`.

    A read-only mapping of the keys to their values, in the order of first assignment,
    with the lookups of `QERN`. It never changes and may be read from any thread at once.
    Not instantiable, not subclassable, no weak references; unhashable, like a dict.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __getitem__(self, key: str, /) -> str: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __eq__(self, other: object, /) -> bool: ...
    @overload
    def get(self, key: str, /) -> str | None: ...
    @overload
    def get(self, key: str, default: str | _T, /) -> str | _T: ...
    def keys(self) -> KeysView[str]: ...
    def values(self) -> ValuesView[str]: ...
    def items(self) -> ItemsView[str, str]: ...
    def find_obj(self, key: str) -> str | None:
        """Forward lookup, with a reverse lookup when no direct key is found."""
    def find_key(self, value: str) -> str | None:
        """Reverse lookup, answering as the document did when frozen."""
    def find_deep(self, key: str) -> str | None:
        """Deep lookup: follow key→value→key chains until a terminal or cycle."""
    def find_list(self, key: str) -> list[str] | None:
        """The value of `key` parsed as a list `[a, b, c]`, or `None`."""
    def find_object(self, key: str) -> dict[str, str] | None:
        """The value of `key` parsed as an inline object `{ k = v, ... }`, or `None`."""
    def validate_value(self, type_name: str, value: str) -> None:
        """Validate `value` against a built-in or registered type name."""
    def to_dict(self) -> dict[str, str]:
        """A new `dict` of all pairs, in the order of first assignment."""
    def to_typed_dict(self) -> dict[str, _TypedValue]:
        """As `QERN.to_typed_dict`."""
