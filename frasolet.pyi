"""Type stubs for the frasolet extension module."""

import sys
from collections.abc import Sequence
from typing import Any, Generic, SupportsIndex, TypedDict, TypeVar, final, type_check_only

# The marker of a class that cannot share a subclass with another such class
# (PEP 800). Checkers older than it know no such name: for them the import is
# ignored, and the decorator with it.
from typing_extensions import disjoint_base  # type: ignore[attr-defined, unused-ignore]

if sys.version_info >= (3, 11):
    from typing import NotRequired, Self
else:
    from typing_extensions import NotRequired, Self

__all__ = [
    "__version__",
    "parse",
    "PromptFragment",
    "PromptTemplate",
    "TemplateSyntaxError",
    "escape",
]

__version__: str

# The tokenizer a template holds. The module only stores it and hands it
# back, so any object will do; the parameter lets callers keep its type.
_Tokenizer = TypeVar("_Tokenizer")

@type_check_only
class _FragmentState(TypedDict):
    string: str
    options: NotRequired[list[str]]

@type_check_only
class _TemplateState(TypedDict):
    template: str

def parse(template: str, *, strict: bool = False) -> list[PromptFragment]:
    """Parse a template into new fragments, in template order.

    With ``strict=True``, a template that the parse would cut short raises
    :class:`TemplateSyntaxError` instead.
    """

def escape(text: str) -> str:
    """The template text that reads back as exactly ``text``."""

class TemplateSyntaxError(ValueError):
    """A strict parse stopped before the end of the template."""

    msg: str
    doc: str
    pos: int
    start: int
    lineno: int
    colno: int
    def __init__(
        self, msg: str, doc: str, pos: SupportsIndex, start: SupportsIndex | None = None
    ) -> None: ...

@disjoint_base
class PromptFragment:
    """One fragment of a template: a text run, or a placeholder with options."""

    def __new__(cls, string: str | None = None, option: list[str] | None = None) -> Self: ...
    @property
    def string(self) -> str:
        """The literal text, or the mask name of a placeholder."""
    @string.setter
    def string(self, value: str, /) -> None: ...
    @property
    def options(self) -> list[str] | None:
        """None for a text fragment; a new list of the options of a placeholder."""
    @options.setter
    def options(self, value: Sequence[str] | None, /) -> None: ...
    @staticmethod
    def parse(template: str, *, strict: bool = False) -> list[PromptFragment]:
        """Parse a template into new fragments (never of a subclass)."""
    def __getstate__(self) -> _FragmentState: ...
    def __setstate__(self, state: _FragmentState | dict[str, Any]) -> None: ...
    def __hash__(self) -> int: ...

@disjoint_base
class PromptTemplate(Generic[_Tokenizer]):
    """The fragments of one parsed template and the tokenizer kept with them.

    The class is generic in the type of its tokenizer for type checkers only:
    at run time it cannot be subscripted, so write ``PromptTemplate[Tok]``
    in annotations (quoted, or under ``from __future__ import annotations``).
    """

    def __new__(
        cls, template: str | None, tokenizer: _Tokenizer, *, strict: bool = False
    ) -> Self: ...
    @property
    def tokenizer(self) -> _Tokenizer:
        """The very object given to the constructor or last assigned."""
    @tokenizer.setter
    def tokenizer(self, value: _Tokenizer, /) -> None: ...
    @property
    def fragments(self) -> list[PromptFragment]:
        """A new list of new fragments, copies of the template's own."""
    @fragments.setter
    def fragments(self, value: Sequence[PromptFragment] | PromptTemplate[Any], /) -> None: ...
    @staticmethod
    def parse(template: str, *, strict: bool = False) -> list[PromptFragment]:
        """Parse a template into new fragments; makes no template."""
    def __getstate__(self) -> _TemplateState: ...
    # A dict as __getstate__ gives, or the (fragments, tokenizer) pair that
    # pickling and copying take from __reduce__.
    def __setstate__(
        self,
        state: _TemplateState
        | dict[str, Any]
        | tuple[Sequence[PromptFragment] | PromptTemplate[Any], _Tokenizer],
    ) -> None: ...
    def __iter__(self) -> PromptFragmentIter: ...
    def __len__(self) -> int: ...
    # No slices and no negative indexes: -1 raises OverflowError.
    def __getitem__(self, index: SupportsIndex, /) -> PromptFragment: ...
    def __hash__(self) -> int: ...

# The iterator of a template. Its class is not an attribute of the module
# (its run-time name is builtins.PromptFragmentIter) and it has no
# constructor: it is only ever met as the result of iter() of a template.
@final
@disjoint_base
@type_check_only
class PromptFragmentIter:
    def __iter__(self) -> Self: ...
    def __next__(self) -> PromptFragment: ...
