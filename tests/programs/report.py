"""Shared by the import-check programs: the one RESULT line a child reports, and exceptions as data."""
import json
import sys
import traceback


def report(**kw):
    sys.stdout.write("RESULT " + json.dumps(kw) + "\n")
    sys.stdout.flush()


def describe(exc):
    return {"type": type(exc).__name__, "msg": str(exc),
            "tb": [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)]}
