"""Fuzz the shared text core against the host: tokenizer, lowercasing, JSON, hashing, str().

    python fuzz/fuzz_text.py -max_total_time=60
"""
import hashlib
import json
import re
import sys

import atheris

with atheris.instrument_imports():
    from common import text, value

from askweave import schemasift as ss

CAMEL = re.compile(r"(?<!^)(?=[A-Z])")
WORD = re.compile(r"[a-zA-Z0-9_]+")


def split(v):
    return CAMEL.sub(" ", v.replace("_", " ").replace("-", " ").replace(".", " ")).lower()


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    t = text(fdp, 200)
    assert ss._split_identifier(t) == split(t)
    expected = [w.lower() for w in WORD.findall(split(t)) if w.lower() not in ss.DEFAULT_STOPWORDS] if t else []
    assert ss.tokenize(t) == expected
    v = value(fdp)
    for ensure_ascii in (True, False):
        sort_keys = fdp.ConsumeBool()
        try:
            want = json.dumps(v, ensure_ascii=ensure_ascii, sort_keys=sort_keys, default=str)
        except (TypeError, ValueError, RecursionError):
            continue
        got = ss._json_dumps(v, ensure_ascii=ensure_ascii, sort_keys=sort_keys, default_str=True)
        assert got == want, (got, want)
    try:
        want = json.dumps(v, sort_keys=True, ensure_ascii=False, default=str)
    except (TypeError, ValueError, RecursionError) as e:
        try:
            ss.stable_hash(v)
        except type(e):
            return
        raise AssertionError("stable_hash accepted what json.dumps refuses")
    assert ss.stable_hash(v) == hashlib.sha256(want.encode("utf-8", "surrogatepass")).hexdigest()[:16]
    assert ss._json_dumps(v, ensure_ascii=False, sort_keys=True, default_str=True) == want


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
