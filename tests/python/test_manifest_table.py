"""The manifest table's keyed hash and the per-thread keys it is drawn from,
through the test-only module built from the same sources as driftmoor."""

import random
import threading

import pytest

import _driftmoor_testing as probe
from conftest import run_python

MASK = (1 << 64) - 1


def rotl(x, bits):
    return ((x << bits) | (x >> (64 - bits))) & MASK


def sip_round(v0, v1, v2, v3):
    v0 = (v0 + v1) & MASK
    v1 = rotl(v1, 13) ^ v0
    v0 = rotl(v0, 32)
    v2 = (v2 + v3) & MASK
    v3 = rotl(v3, 16) ^ v2
    v0 = (v0 + v3) & MASK
    v3 = rotl(v3, 21) ^ v0
    v2 = (v2 + v1) & MASK
    v1 = rotl(v1, 17) ^ v2
    v2 = rotl(v2, 32)
    return v0, v1, v2, v3


def siphash(k0, k1, message, compression_rounds, finalisation_rounds):
    # Written from the algorithm's description, word by word, to share no
    # structure with the streaming implementation under test.
    v = [
        k0 ^ int.from_bytes(b"somepseu", "big"),
        k1 ^ int.from_bytes(b"dorandom", "big"),
        k0 ^ int.from_bytes(b"lygenera", "big"),
        k1 ^ int.from_bytes(b"tedbytes", "big"),
    ]
    whole = len(message) - len(message) % 8
    words = [int.from_bytes(message[i : i + 8], "little") for i in range(0, whole, 8)]
    words.append(int.from_bytes(message[whole:], "little") | (len(message) % 256) << 56)
    for word in words:
        v[3] ^= word
        for _ in range(compression_rounds):
            v = list(sip_round(*v))
        v[0] ^= word
    v[2] ^= 0xFF
    for _ in range(finalisation_rounds):
        v = list(sip_round(*v))
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def table_hash(k0, k1, key):
    return siphash(k0, k1, key.encode("utf-8") + b"\xff", 1, 3)


def test_reference_is_siphash():
    # The published SipHash-2-4 vector, so the reference is the real
    # algorithm before it is trusted with 1-3.
    key = bytes(range(16))
    k0, k1 = int.from_bytes(key[:8], "little"), int.from_bytes(key[8:], "little")
    assert siphash(k0, k1, bytes(range(15)), 2, 4) == 0xA129CA6149BE45E5
    assert siphash(k0, k1, b"", 2, 4) == 0x726FDB47DD0E0E31


KEYS = [(0, 0), (MASK, MASK), (0, MASK), (MASK, 0), (1, 2)]
KEYS += [(0x0706050403020100, 0x0F0E0D0C0B0A0908)]
_rng = random.Random(5370)
KEYS += [(_rng.getrandbits(64), _rng.getrandbits(64)) for _ in range(4)]


@pytest.mark.parametrize("k0, k1", KEYS)
def test_table_hash_of_every_length(k0, k1):
    # Every tail length of the last word, over several whole words; the
    # terminator makes a key of 7 bytes end a word exactly.
    letters = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ"
    for length in range(41):
        key = letters[:length]
        assert probe.table_key_hash(str(k0), str(k1), key) == table_hash(k0, k1, key), length


@pytest.mark.parametrize(
    "key",
    [
        "é", "données/日本.txt", "\U0001f600" * 3, "a\nb", "x\\y", "tab\t",
        "\uffff\U0010ffff", "d" * 255, "d" * 256, "/".join(["dir"] * 300),
    ],
    ids=lambda key: f"{ascii(key)[:16]}-{len(key)}",
)
@pytest.mark.parametrize("k0, k1", KEYS[:3] + KEYS[-2:])
def test_table_hash_of_unicode_and_long_keys(k0, k1, key):
    # Past 255 bytes only the low byte of the length enters the last word.
    assert probe.table_key_hash(str(k0), str(k1), key) == table_hash(k0, k1, key)


def test_keys_advance_by_one_on_a_thread():
    keys = probe.next_table_keys("200")
    assert len(keys) == 200
    k0, k1 = keys[0]
    assert keys == [((k0 + i) & MASK, k1) for i in range(200)]
    # The seed carries on where it stopped, it is not drawn again.
    assert probe.next_table_keys("1") == [((k0 + 200) & MASK, k1)]


def test_each_thread_has_its_own_seed():
    here = probe.next_table_keys("3")
    there = []
    thread = threading.Thread(target=lambda: there.extend(probe.next_table_keys("3")))
    thread.start()
    thread.join(timeout=60)
    assert len(there) == 3
    assert there[1:] == [((there[0][0] + i) & MASK, there[0][1]) for i in (1, 2)]
    # Equal only if 64 random bits came out the same twice.
    assert there[0][1] != here[0][1]
    # Taking keys on the other thread did not move this thread's seed.
    assert probe.next_table_keys("1") == [((here[0][0] + 3) & MASK, here[0][1])]


def test_each_process_has_its_own_seed():
    code = "import _driftmoor_testing as p; print(p.next_table_keys('1'))"
    seeds = set()
    for _ in range(2):
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        seeds.add(result.stdout)
    assert len(seeds) == 2
