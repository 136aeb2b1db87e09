"""Exceptions for the failures the library reports through its results."""


class ZentrelSignalError(Exception):
    """Base of every failure the binding reports."""


class LibraryNotFoundError(ZentrelSignalError, OSError):
    """The shared library could not be loaded."""


class ExportMissingError(ZentrelSignalError, AttributeError):
    """The loaded library does not have an export the binding knows."""


class DeviceNotFoundError(ZentrelSignalError, LookupError):
    """No device at this position, or no open file with this identifier."""


class FileOpenError(ZentrelSignalError, OSError):
    """A recorded file cannot be opened."""


class NoDescriptionError(ZentrelSignalError):
    """A recorded file matches no instrument type of the description file."""


class RecordError(ZentrelSignalError, IndexError):
    """A record cannot be read (past the end, or a short read)."""


class AttachError(ZentrelSignalError, ConnectionError):
    """A network instrument did not answer the connection."""


class ReconnectError(ZentrelSignalError, ConnectionError):
    """A listed device could not be found and identified again."""


class GeneratorError(ZentrelSignalError):
    """A generator is not there, cannot be opened, or refused a setting."""
