"""Representable, the base that prints the package's records."""

from typing import Any

from typing_extensions import disjoint_base

@disjoint_base
class Representable:
    """Base of the package's printable records.

    ``repr()`` and ``str()`` show ``_get_header()``, a rule of ``=`` under it,
    then ``_get_body()``; every body line that is exactly ``{fence}`` becomes a
    rule of ``-``. Rules are as wide as the widest line of the block.
    Instances have an attribute dictionary.
    """

    __dictoffset__: int
    __dict__: dict[str, Any]
    def _get_header(self) -> str:
        """The first line of the printed form. Subclasses must define it (the base raises NotImplementedError)."""
    def _get_body(self) -> str:
        """The printed form below the header. Subclasses must define it (the base raises NotImplementedError)."""
    def _create_formatted_form(self, data: dict[str, str], /) -> str:
        """Aligned ``label : value`` lines, one per item, joined by line breaks."""
    def _create_formatted_frame(self, data: dict[str, dict[str, str]], /) -> str:
        """A table: one column per outer key (its title, centred), one row per label,
        numbers aligned on their decimal point, units after them."""
    def _format_as_property(self, title: str, /) -> str:
        """The title as a heading line within a body."""
