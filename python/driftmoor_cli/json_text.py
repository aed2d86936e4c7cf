"""JSON text written as `json.dumps(..., ensure_ascii=False, indent=2)`
would write it, one member per piece as it is made, for the manifests and
reports that programs read.

JSON text is Unicode: a path whose bytes are not valid UTF-8 has no faithful
form in it (an escape of a lone surrogate is refused by many readers, and
any replacement would name another file). Such a path is left out of the
JSON and handed back to the caller, which names it on standard error and
fails the run."""

from collections.abc import Iterable, Iterator
from json.encoder import encode_basestring

Value = str | int | None


def unicode_paths[Item](
    items: Iterable[tuple[bytes, Item]], not_unicode: list[bytes]
) -> Iterator[tuple[str, Item]]:
    """Each (path, item) with the path as text; a path that is not valid
    UTF-8 is appended to not_unicode instead."""
    for path, item in items:
        try:
            yield path.decode("utf-8"), item
        except UnicodeDecodeError:
            not_unicode.append(path)


def json_value(value: Value) -> str:
    if value is None:
        return "null"
    return encode_basestring(value) if isinstance(value, str) else str(value)


def json_members(items: Iterable[tuple[str, str]], indent: str) -> Iterator[str]:
    """An object of the (key, JSON text of the value) pairs, at the depth
    that `indent` (its first line's) says."""
    separator = "{\n"
    for key, value in items:
        yield f"{separator}{indent}  {encode_basestring(key)}: {value}"
        separator = ",\n"
    yield "{}" if separator == "{\n" else f"\n{indent}}}"


def json_object(items: Iterable[tuple[str, Value]], indent: str) -> Iterator[str]:
    """An object of (key, value) pairs whose values are strings, numbers or
    None."""
    return json_members(((key, json_value(value)) for key, value in items), indent)
