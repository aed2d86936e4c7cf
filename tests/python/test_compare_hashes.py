"""compare_hashes: equality of two texts by their UTF-8 bytes."""

import hashlib

import pytest

from driftmoor import compare_hashes

DIGEST = hashlib.sha256(b"driftmoor").hexdigest()


def flip(text, position):
    return text[:position] + ("0" if text[position] != "0" else "1") + text[position + 1 :]


def test_digests():
    assert compare_hashes(DIGEST, DIGEST) is True
    assert compare_hashes(DIGEST, str(DIGEST)) is True  # equal text, another object
    assert compare_hashes(DIGEST, flip(DIGEST, 0)) is False
    assert compare_hashes(DIGEST, flip(DIGEST, 63)) is False
    assert compare_hashes(DIGEST, DIGEST + "\n") is False
    assert compare_hashes(DIGEST, DIGEST.upper()) is False
    assert compare_hashes(DIGEST, " " + DIGEST[1:]) is False


def test_any_text():
    assert compare_hashes("", "") is True
    assert compare_hashes("", "a") is False
    assert compare_hashes("not hex at all", "not hex at all") is True
    assert compare_hashes("caf\u00e9 \U0001f600", "caf\u00e9 \U0001f600") is True
    assert compare_hashes("caf\u00e9", "cafe\u0301") is False  # no normalisation
    # A two-byte letter against a one-byte one differs in length.
    assert compare_hashes("\u00e9", "e") is False


@pytest.mark.parametrize("length", [1, 3, 4, 5, 31, 32, 33, 35, 36, 63, 64, 65, 100])
def test_every_stride_sees_every_byte(length):
    text = "".join(chr(ord("a") + i % 26) for i in range(length))
    assert compare_hashes(text, "".join(text)) is True
    for position in range(length):
        assert compare_hashes(text, flip(text, position)) is False, position
