"""What `vkcondb.connect` is told to open: keywords, a database path, or a
URL ("postgresql://user:pw@host1:5432,host2/db?sslmode=require",
"file:app.db", "sqlite:///app.db")."""
from urllib.parse import parse_qsl, unquote

DEFAULT_PG_PORT = 5432

_PG_SCHEMES = ("postgresql://", "postgres://")
_FILE_SCHEMES = ("file:", "sqlite:")


def is_url(text):
    lowered = text.lower()
    return lowered.startswith(_PG_SCHEMES) or lowered.startswith(_FILE_SCHEMES)


def _file_database(text):
    """The database path of "file:app.db", "file:///abs/app.db",
    "sqlite:///app.db" or "file::memory:"."""
    rest = text.split(":", 1)[1]
    rest = rest.split("?", 1)[0]
    if rest.startswith("//"):
        rest = rest[2:]
        slash = rest.find("/")
        if slash < 0:
            raise ValueError("no database path in %r" % text)
        host, rest = rest[:slash], rest[slash:]
        if host not in ("", "localhost"):
            raise ValueError("a file URL names no host: %r" % text)
        if text.lower().startswith("sqlite:") and rest.startswith("/"):
            rest = rest[1:]  # sqlite:///app.db is relative, sqlite:////abs/app.db absolute
    rest = unquote(rest)
    if not rest:
        raise ValueError("no database path in %r" % text)
    return rest


def _pg_hosts(hostlist):
    """The host list as the library takes it ("a", "a:5433", "[::1]:5433",
    comma-separated), checked part by part."""
    hosts = []
    for part in hostlist.split(","):
        part = unquote(part.strip())
        if not part:
            raise ValueError("an empty host in the host list %r" % hostlist)
        if part.startswith("["):
            end = part.find("]")
            if end < 0 or (len(part) > end + 1 and part[end + 1] != ":"):
                raise ValueError("a bad IPv6 host %r" % part)
            port = part[end + 2:]
        else:
            port = part.split(":", 1)[1] if ":" in part else ""
        if port and not (port.isdigit() and 0 < int(port) < 65536):
            raise ValueError("a bad port in host %r" % part)
        hosts.append(part)
    return ",".join(hosts)


def _pg_url(text):
    rest = text.split("://", 1)[1]
    query = ""
    if "?" in rest:
        rest, query = rest.split("?", 1)
    netloc, _, path = rest.partition("/")
    params = {"port": DEFAULT_PG_PORT, "database": unquote(path) or "postgres"}
    userinfo, at, hostlist = netloc.rpartition("@")
    if at:
        user, colon, password = userinfo.partition(":")
        params["user"] = unquote(user)
        if colon:
            params["password"] = unquote(password)
    for key, value in parse_qsl(query, keep_blank_values=True):
        if key == "sslmode":
            params["usessl"] = value
        elif key in ("user", "password"):
            params[key] = value
        elif key == "dbname":
            params["database"] = value
        elif key == "host":
            hostlist = hostlist + "," + value if hostlist else value
        elif key == "port":
            params["port"] = int(value)
        else:
            raise ValueError("unknown URL parameter %r (known: sslmode, user, password, "
                             "dbname, host, port)" % key)
    if not hostlist:
        hostlist = "127.0.0.1"
    params["host"] = _pg_hosts(hostlist)
    return params


def from_url(text):
    """The connection keywords a URL stands for."""
    lowered = text.lower()
    if lowered.startswith(_PG_SCHEMES):
        return _pg_url(text)
    return {"host": "", "port": 0, "database": _file_database(text)}
