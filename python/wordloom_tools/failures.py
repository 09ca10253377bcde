"""Causes of failures in plain words, for messages that also name the path
or input that failed."""
import json


def cause(error: Exception) -> str:
    """Why `error` happened, as a short phrase: "permission denied", "not
    valid JSON (...)"."""
    if isinstance(error, json.JSONDecodeError):
        return f"not valid JSON ({error.msg} at line {error.lineno} column {error.colno})"
    if isinstance(error, UnicodeDecodeError):
        return f"not valid UTF-8 (byte 0x{error.object[error.start]:02x} at offset {error.start})"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror[0].lower() + error.strerror[1:]
    return str(error)
