"""Windows-1252, the relay's single-byte text on the wire.

The relay takes every byte as Windows-1252 and maps the five bytes the code
page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) to the control characters
of the same number, as the platform it was written for does. Python's 'cp1252'
codec refuses those five, so decoding goes through an error handler that maps
them the same way: every byte string decodes, and encoding the result gives
the same bytes back.

The handler is registered under ERROR_HANDLER when this module is imported, so
other code that reads the relay's bytes (a NATS consumer, a log reader) can
use it directly:

    import telvane.codec
    text = payload.decode("cp1252", errors=telvane.codec.ERROR_HANDLER)

Encoding refuses a character the code page cannot hold (ValueError naming it):
an application name that would reach the relay as '?' is better caught here.
"""

import codecs
from typing import Tuple, Union

UNDEFINED_BYTES = frozenset({0x81, 0x8D, 0x8F, 0x90, 0x9D})
ERROR_HANDLER = "telvane-cp1252"


def _undefined_bytes(error: UnicodeError) -> Tuple[Union[str, bytes], int]:
    """Maps the five undefined bytes to U+0081.. and back; anything else fails."""
    if isinstance(error, UnicodeDecodeError):
        data = error.object[error.start:error.end]
        if all(b in UNDEFINED_BYTES for b in data):
            return "".join(chr(b) for b in data), error.end
    elif isinstance(error, UnicodeEncodeError):
        text = error.object[error.start:error.end]
        if all(ord(c) in UNDEFINED_BYTES for c in text):
            return bytes(ord(c) for c in text), error.end
    raise error


codecs.register_error(ERROR_HANDLER, _undefined_bytes)


def decode(data: Union[bytes, bytearray, memoryview]) -> str:
    """Bytes from the relay to text; never fails."""
    return bytes(data).decode("cp1252", errors=ERROR_HANDLER)


def encode(text: str) -> bytes:
    """Text to the relay's bytes; ValueError for a character outside the code page."""
    try:
        return text.encode("cp1252", errors=ERROR_HANDLER)
    except UnicodeEncodeError as error:
        bad = error.object[error.start:error.end]
        raise ValueError(
            "%r cannot be written in Windows-1252, the relay's code page" % bad
        ) from None
