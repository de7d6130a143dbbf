"""HL7 v2 messages to lists of dicts and back.

Records are dicts of str to str, one per segment line. Position keys count
fields and components from 1 and repetitions from 0 ('3', '5.2', '11[0].1');
"segment_name" holds the segment's name.

Errors: problems with a message or a file raise the built-in ``Exception``
itself (not a subclass) whose text is the error's display text, such as
"HL7 message is empty" or "HL7 validation failed: ...". Arguments of the
wrong type raise ``TypeError`` with a note naming the argument. A setter that
meets a call in progress on the same object raises ``RuntimeError``
("Already borrowed"), as does a call that meets a setter in progress
("Already mutably borrowed").
"""

from collections.abc import Sequence
from typing import final

__all__ = ["Hl7Json", "JsonHl7"]

@final
class Hl7Json:
    """One HL7 v2 message and its conversion options.

    Nothing is parsed when the object is made: every read of ``hl7_json``
    and every ``validate`` call works anew from the stored text, so a changed
    option applies to the next request.
    """

    def __new__(
        cls,
        hl7_string: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json:
        """Store a message; CR and CR LF line breaks become LF.

        ``None`` or an omitted option takes its default: validation off,
        lenient validation, escaping on. Raises ``TypeError`` when
        ``hl7_string`` is not a str or an option is neither a bool nor None.
        """

    @classmethod
    def from_file(
        cls,
        path: str,
        validation_enabled: bool | None = None,
        strict_validation: bool | None = None,
        escaping_enabled: bool | None = None,
    ) -> Hl7Json:
        """Read a message from a UTF-8 file; options as for the constructor.

        Raises ``Exception`` "I/O error: ..." when the file cannot be read or
        is not UTF-8, "HL7 message is empty" when it holds only white space,
        and ``TypeError`` when ``path`` is not a str (path objects included).
        """

    @property
    def hl7_string(self) -> str:
        """The stored message text, with LF between segments (read-only)."""

    @property
    def validation_enabled(self) -> bool:
        """Whether reading ``hl7_json`` validates the message first.

        Assigning anything but a bool raises ``TypeError``; deleting raises
        ``AttributeError``; assigning during another call on the object
        raises ``RuntimeError``.
        """

    @validation_enabled.setter
    def validation_enabled(self, value: bool) -> None: ...
    @property
    def strict_validation(self) -> bool:
        """Strict mode for that validation: supported versions and a
        three-part message type. Assignment as for ``validation_enabled``."""

    @strict_validation.setter
    def strict_validation(self, value: bool) -> None: ...
    @property
    def escaping_enabled(self) -> bool:
        """Whether conversion decodes HL7 escape sequences (\\F\\, \\S\\, ...)
        in values. Assignment as for ``validation_enabled``."""

    @escaping_enabled.setter
    def escaping_enabled(self, value: bool) -> None: ...
    @property
    def hl7_json(self) -> list[dict[str, str]]:
        """The records, one new dict per line of the message (read-only).

        With ``validation_enabled`` set, the message is validated first (no
        required-segment check) and a failure raises ``Exception`` with the
        validation error's text.
        """

    def _convert_hl7_to_json(self) -> list[dict[str, str]]:
        """The same records as ``hl7_json``, with the same errors."""

    def validate(self, strict_mode: bool | None, validate_required_fields: bool | None) -> None:
        """Check the message's structure; return None or raise ``Exception``.

        Both arguments must be passed; ``None`` means the object's
        ``strict_validation`` and, for the second, a check that a PID segment
        is present. The error texts start with "HL7 validation error:",
        "HL7 validation failed:", "Missing required segment:",
        "Invalid segment name:", "Invalid field separators:",
        "HL7 version not supported:", "Field value exceeds maximum length:"
        or "Component value exceeds maximum length:". Raises ``TypeError``
        for a missing argument or one that is neither a bool nor None.
        """

    def _split_hl7_seg_to_json(self, seg: str) -> dict[str, str]:
        """One segment line to one record, escape sequences left as they are.

        ``seg`` is not cut at line breaks. Raises ``TypeError`` when it is
        not a str.
        """

    def _split_hl7_seg_to_json_with_escaping(self, seg: str) -> dict[str, str]:
        """One segment line to one record, escape sequences decoded whatever
        ``escaping_enabled`` says. Raises ``TypeError`` when ``seg`` is not a
        str."""

@final
class JsonHl7:
    """A list of records, assembled into HL7 v2 text on request.

    The records are fixed when the object is made; every read of
    ``hl7_string`` or ``hl7_string_unescaped`` assembles the text anew.
    """

    def __new__(cls, json_data: Sequence[dict[str, str]]) -> JsonHl7:
        """Store a copy of the records.

        Raises ``TypeError`` when ``json_data`` is a str or not a sequence,
        when an item is not a dict, or when a key or value is not a str.
        """

    @classmethod
    def from_file(cls, path: str) -> JsonHl7:
        """Read the records from a UTF-8 JSON file holding an array of
        objects with string values.

        Raises ``Exception`` "I/O error: ..." when the file cannot be read or
        is not UTF-8, "HL7 message is empty" when it holds only white space,
        "HL7 invalid format: Invalid JSON: ..." (with line and column) when it
        is not such an array, and ``TypeError`` when ``path`` is not a str.
        """

    @property
    def json_data(self) -> list[dict[str, str]]:
        """A new copy of the records, keys in byte order (read-only)."""

    @property
    def hl7_string(self) -> str:
        """The message with escape sequences applied to values, segments
        joined by LF (read-only)."""

    @property
    def hl7_string_unescaped(self) -> str:
        """The message with values written as they are (read-only)."""

    def _convert_json_to_hl7(self, escape: bool) -> str:
        """``hl7_string`` when ``escape`` is True, else
        ``hl7_string_unescaped``. Raises ``TypeError`` unless ``escape`` is a
        bool."""
