"""Causes of failures in plain words, for messages that also name the path
or input that failed."""
import json


def cause(error: Exception) -> str:
    """Why `error` happened, as a short phrase: "permission denied", "not
    valid JSON (...)"."""
    if isinstance(error, json.JSONDecodeError):
        return f"not valid JSON ({error.msg} at line {error.lineno} column {error.colno})"
    if isinstance(error, UnicodeDecodeError):
        return not_utf8(error)
    if isinstance(error, OSError) and error.strerror:
        return error.strerror[0].lower() + error.strerror[1:]
    return str(error)


def not_utf8(error: UnicodeDecodeError, offset: int = 0) -> str:
    """Where decoding failed, for data that starts `offset` bytes into its input."""
    return f"not valid UTF-8 (byte 0x{error.object[error.start]:02x} at offset {offset + error.start})"
