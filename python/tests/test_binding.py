"""The prototypes agree with the header, and a missing export is reported, never faked."""

import ctypes
import re
import sys
from pathlib import Path

import pytest

import zentrel_signal as zs
from zentrel_signal import _native

C_TYPES = {
    "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "double": ctypes.c_double,
    "void": None, "double*": ctypes.POINTER(ctypes.c_double),
    "ZS_WCHAR*": ctypes.POINTER(_native.WCHAR), "constZS_WCHAR*": ctypes.POINTER(_native.WCHAR),
    "ZS_SignalSendCallback": _native.SIGNAL_SEND_CALLBACK,
    "constdouble*": ctypes.POINTER(ctypes.c_double),
    "constint32_t*": ctypes.POINTER(ctypes.c_int32),
    "int32_t*": ctypes.POINTER(ctypes.c_int32),
}


def declarations(header):
    found = {}
    pattern = r"ZS_EXPORT\s+([\w\s\*]+?)\s*ZS_CALL\s+(\w+)\s*\(([^)]*)\)\s*;"
    for result, name, args in re.findall(pattern, header):
        types = []
        for arg in args.split(","):
            arg = " ".join(arg.split())
            if arg in ("void", ""):
                continue
            types.append(re.sub(r"\s+", "", re.sub(r"\w+$", "", arg)))
        found[name] = (result.replace(" ", ""), types)
    return found


def test_every_export_is_bound_as_the_header_declares_it(header):
    declared = declarations(header)
    assert set(declared) == set(_native.PROTOTYPES)
    for name, (restype, argtypes) in _native.PROTOTYPES.items():
        assert name in declared, f"{name} is not in the header"
        result, args = declared[name]
        assert C_TYPES[result] == restype, name
        assert len(args) == len(argtypes), name
        for declared_type, bound in zip(args, argtypes):
            if declared_type == "constZS_WCHAR*" and sys.platform == "win32":
                continue  # a wide text either way
            assert C_TYPES[declared_type] == bound, (name, declared_type)


def test_an_export_the_library_lacks_raises(lib, monkeypatch):
    monkeypatch.setitem(_native.PROTOTYPES, "K427_NotInThisLibrary", (ctypes.c_int32, []))
    assert not lib.native.has("K427_NotInThisLibrary")
    with pytest.raises(zs.ExportMissingError):
        lib.native.K427_NotInThisLibrary()
    with pytest.raises(AttributeError):
        lib.native.NotAnExportAtAll


def test_a_library_that_cannot_be_loaded(tmp_path):
    with pytest.raises(zs.LibraryNotFoundError):
        zs.Library(tmp_path / "libZentrelSignal.so")


def test_link_kinds_are_the_librarys():
    source = (Path(__file__).resolve().parents[2] / "src" / "transport" / "link_kind.h").read_text()
    body = re.search(r"enum class LinkKind : uint32_t \{(.*?)\};", source, re.S).group(1)
    cpp = {name.lower(): int(value)
           for name, value in re.findall(r"^\s*(\w+) = (\d+),", body, re.M)}
    python = {kind.name.replace("_", "").lower(): int(kind) for kind in zs.LinkKind}
    assert cpp and python == cpp
