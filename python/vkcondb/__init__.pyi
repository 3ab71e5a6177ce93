# Types of the vkcondb package.
import datetime
import os
from typing import FrozenSet, Optional, Union

from ._pyvkdb37 import (
    DatabaseError as DatabaseError,
    DataError as DataError,
    Error as Error,
    IntegrityError as IntegrityError,
    InterfaceError as InterfaceError,
    InternalError as InternalError,
    NotSupportedError as NotSupportedError,
    OperationalDataError as OperationalDataError,
    OperationalError as OperationalError,
    OperationalIntegrityError as OperationalIntegrityError,
    OperationalInternalError as OperationalInternalError,
    OperationalNotSupportedError as OperationalNotSupportedError,
    OperationalProgrammingError as OperationalProgrammingError,
    ProgrammingError as ProgrammingError,
    Warning as Warning,
    connection as connection,
    conpool as conpool,
    cursor as cursor,
    version as version,
)

__all__ = [
    "connect", "pool", "connection", "conpool", "cursor", "version",
    "apilevel", "threadsafety", "paramstyle",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
]

apilevel: str
threadsafety: int
paramstyle: str

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes

def DateFromTicks(ticks: float) -> datetime.date: ...
def TimeFromTicks(ticks: float) -> datetime.time: ...
def TimestampFromTicks(ticks: float) -> datetime.datetime: ...

class _TypeGroup(FrozenSet[str]):
    # Equal to each type name that `description` reports for the group.
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

STRING: _TypeGroup
BINARY: _TypeGroup
NUMBER: _TypeGroup
DATETIME: _TypeGroup
ROWID: _TypeGroup

def connect(target: Union[str, os.PathLike[str], None] = None, port: Optional[int] = None,
            database: Optional[str] = None, user: Optional[str] = None,
            password: Optional[str] = None, charset: str = "utf8",
            usessl: Optional[str] = None, usetls: str = "", usetlcp: str = "",
            host: Optional[str] = None) -> connection: ...
def pool(host: str = "", port: int = 0, database: str = ":memory:", user: str = "",
         password: str = "", charset: str = "utf8", usessl: str = "", maxconnections: int = 4,
         mincached: int = 0) -> conpool: ...
