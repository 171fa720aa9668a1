"""Protection of a sheet (`ws.protect`) and of a workbook's structure (`wb.protect`), with the
password hashed as spreadsheet programs hash it today: SHA-512 over a random salt and the
password, run again `spin_count` times. The 16-bit hash that older files carry is read and
checked too."""

from __future__ import annotations

import base64
import hashlib
import os
from typing import Any, ClassVar

from .objects import Feature, text_of

__all__ = ["SheetProtection", "WorkbookProtection", "PasswordHash", "legacy_hash", "SHEET_PERMISSIONS"]

SPIN_COUNT = 100000
ALGORITHM = "SHA-512"
_DIGESTS = {"SHA-512": "sha512", "SHA-384": "sha384", "SHA-256": "sha256", "SHA-1": "sha1", "MD5": "md5"}
MAX_PASSWORD = 255

# What a protected sheet lets its users do, by the name `protect` takes -> (the attribute that
# forbids it, whether a file forbids it when the attribute is absent). `protect` allows
# selecting cells and nothing else unless told otherwise, as spreadsheet programs do.
SHEET_PERMISSIONS = {
    "objects": ("objects", False), "scenarios": ("scenarios", False),
    "format_cells": ("formatCells", True), "format_columns": ("formatColumns", True),
    "format_rows": ("formatRows", True), "insert_columns": ("insertColumns", True),
    "insert_rows": ("insertRows", True), "insert_hyperlinks": ("insertHyperlinks", True),
    "delete_columns": ("deleteColumns", True), "delete_rows": ("deleteRows", True),
    "select_locked_cells": ("selectLockedCells", False), "sort": ("sort", True),
    "autofilter": ("autoFilter", True), "pivot_tables": ("pivotTables", True),
    "select_unlocked_cells": ("selectUnlockedCells", False),
}
_ALLOWED_BY_DEFAULT = ("select_locked_cells", "select_unlocked_cells")


def legacy_hash(password: str) -> str:
    """The 16-bit hash of older files, as four hexadecimal digits: each character's code
    rotated left within 15 bits by its position, all of them combined."""
    value = 0
    for position, char in enumerate(password[:15], 1):
        shifted = (ord(char) & 0xFF) << position
        value ^= (shifted & 0x7FFF) | (shifted >> 15)
    return "%04X" % (value ^ len(password[:15]) ^ 0xCE4B)


class PasswordHash:
    """A password as a file keeps it: the algorithm, the salt and hash (base 64) and the spin
    count; or the legacy 16-bit hash."""

    __slots__ = ("algorithm", "hash", "salt", "spin_count", "legacy")

    def __init__(self, algorithm: str | None = None, hash: str | None = None, salt: str | None = None,
                 spin_count: int | None = None, legacy: str | None = None) -> None:
        self.algorithm, self.hash, self.salt, self.spin_count, self.legacy = algorithm, hash, salt, spin_count, legacy

    @classmethod
    def of(cls, password: str, salt: bytes | None = None, spin_count: int = SPIN_COUNT) -> PasswordHash:
        salt = os.urandom(16) if salt is None else salt
        digest = _spun("sha512", salt, password, spin_count)
        return cls(ALGORITHM, base64.b64encode(digest).decode("ascii"), base64.b64encode(salt).decode("ascii"),
                   spin_count)

    def matches(self, password: str) -> bool:
        """Whether `password` is the one hashed (False when the hash is of a kind not known)."""
        if self.hash is not None and self.salt is not None:
            name = _DIGESTS.get((self.algorithm or "").upper())
            try:
                salt, want = base64.b64decode(self.salt), base64.b64decode(self.hash)
            except ValueError:
                return False
            return name is not None and _spun(name, salt, password, self.spin_count or 0) == want
        if self.legacy is not None:
            return self.legacy.upper() == legacy_hash(password)
        return False

    def _state(self) -> tuple[Any, ...]:
        return (self.algorithm, self.hash, self.salt, self.spin_count, self.legacy)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, PasswordHash) and self._state() == other._state()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return "PasswordHash(%s)" % (self.algorithm or "legacy")


def _spun(name: str, salt: bytes, password: str, spin_count: int) -> bytes:
    digest = hashlib.new(name, salt + password.encode("utf-16-le")).digest()
    for count in range(max(0, min(spin_count, 10_000_000))):
        digest = hashlib.new(name, digest + count.to_bytes(4, "little")).digest()
    return digest


def _password(value: Any) -> PasswordHash | None:
    if value is None or isinstance(value, PasswordHash):
        return value
    text = text_of(value, "a password", MAX_PASSWORD)
    if not text:
        raise ValueError("a password cannot be empty: give None for none")
    return PasswordHash.of(text)


class _Protection(Feature):
    """Settings of a protection, and its password (`set_password`, `check_password`)."""

    __slots__ = ("password",)
    password: PasswordHash | None

    def set_password(self, password: str | None) -> None:
        """Hashes `password` (None: no password)."""
        self.password = _password(password)

    def check_password(self, password: str) -> bool:
        """Whether `password` unlocks the protection (any text does when it has none)."""
        return self.password is None or self.password.matches(password)


class SheetProtection(_Protection):
    """The protection of a sheet: `enabled`, the password, and what its users may still do
    (the names of `SHEET_PERMISSIONS`, each True when allowed)."""

    __slots__ = ("enabled", *SHEET_PERMISSIONS)
    _FIELDS = ("enabled", "password", *SHEET_PERMISSIONS)
    _CHECKS: ClassVar[dict[str, Any]] = {"password": _password}

    def __init__(self, enabled: bool = False, password: str | None = None, **allowed: bool) -> None:
        self.enabled = enabled
        self.password = _password(password)
        for name in SHEET_PERMISSIONS:
            setattr(self, name, name in _ALLOWED_BY_DEFAULT)
        self.allow(**allowed)

    def allow(self, **allowed: bool) -> None:
        for name, value in allowed.items():
            if name not in SHEET_PERMISSIONS:
                raise TypeError("%r is not something a protected sheet allows: one of %s"
                                % (name, ", ".join(SHEET_PERMISSIONS)))
            setattr(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        if (name in SHEET_PERMISSIONS or name == "enabled") and not isinstance(value, bool):
            raise TypeError("%s is True or False, not %s" % (name, type(value).__name__))
        super().__setattr__(name, value)


class WorkbookProtection(_Protection):
    """The protection of a workbook: its `structure` (sheets cannot be added, removed, moved or
    renamed) and its `windows`, and the password."""

    __slots__ = ("structure", "windows")
    _FIELDS = ("structure", "windows", "password")
    _CHECKS: ClassVar[dict[str, Any]] = {"password": _password}

    def __init__(self, structure: bool = False, windows: bool = False, password: str | None = None) -> None:
        self.structure = structure
        self.windows = windows
        self.password = _password(password)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in ("structure", "windows") and not isinstance(value, bool):
            raise TypeError("%s is True or False, not %s" % (name, type(value).__name__))
        super().__setattr__(name, value)

    @property
    def enabled(self) -> bool:
        return self.structure or self.windows
