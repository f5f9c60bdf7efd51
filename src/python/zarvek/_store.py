# SPDX-License-Identifier: MIT
"""The results store: every result kept in one database, an SQLite file in
the user's data folder by default or a PostgreSQL server that many
machines share, through SQLAlchemy Core with one schema for both. The
schema carries its version: an older store is upgraded in place, a newer
one refused. Each result is kept in one transaction; its whole document
is kept beside the columns that queries need.

No password is ever printed or kept: the store is named with its
password masked, and errors are said by the database's own message."""

import datetime
import os

import sqlalchemy as sa

from .keeping import masked

# The schema's version, and the steps that bring a store from each
# version to the next (UPGRADES[v] takes version v to v + 1).
VERSION = 2
# How long an SQLite writer waits for another's lock (a "timeout" in the
# URL's query overrides it), and a PostgreSQL client for the server.
SQLITE_TIMEOUT = 30
CONNECT_TIMEOUT = 10
# The PostgreSQL advisory lock that serialises creating and upgrading.
SCHEMA_LOCK = 0x7A61727665

metadata = sa.MetaData()
meta = sa.Table(
    "zarvek_meta", metadata,
    sa.Column("key", sa.String(64), primary_key=True),
    sa.Column("value", sa.Text, nullable=False))


def kept_columns():
    """Every kept row's: its number, the SHA-256 of its document's
    canonical JSON (the same result once), when it was kept and the file
    it came from."""
    return [sa.Column("id", sa.Integer, primary_key=True),
            sa.Column("digest", sa.String(64), nullable=False, unique=True),
            sa.Column("kept", sa.String(32), nullable=False), sa.Column("source", sa.Text)]


def system_columns():
    """The system under the programs, which may change within a series."""
    return [sa.Column(name, sa.Text) for name in ("kernel", "cpu_identity", "libc")]


def figure_columns(figure):
    """When and where the figure was taken, the figure and its interval."""
    return [sa.Column("date", sa.String(32)), sa.Column("host", sa.Text, nullable=False),
            sa.Column("cpu_model", sa.Text, nullable=False),
            sa.Column(figure, sa.Float, nullable=False), sa.Column("low", sa.Float),
            sa.Column("high", sa.Float)]


results = sa.Table(
    "zarvek_results", metadata, *kept_columns(),
    # What makes a series.
    sa.Column("kind", sa.String(16), nullable=False),
    sa.Column("machine", sa.Text, nullable=False),
    sa.Column("loops", sa.Integer, nullable=False),
    sa.Column("flags", sa.Text, nullable=False),
    sa.Column("target", sa.Text, nullable=False),
    # What may change within one.
    sa.Column("compiler", sa.Text, nullable=False),
    sa.Column("zarvek_sha256", sa.String(64)),
    sa.Column("bench_sha256", sa.String(64)),
    *system_columns(),
    # The result.
    sa.Column("format", sa.Integer), *figure_columns("median"),
    sa.Column("runs", sa.Integer),
    *(sa.Column(name, sa.Float) for name in ("autocorrelation", "drift", "steal", "other_work")),
    sa.Column("verdict", sa.String(16), nullable=False),
    sa.Column("document", sa.Text, nullable=False),
    sa.Index("zarvek_results_series", "machine", "kind", "loops", "date"))
# zarvek-compare's comparisons, one row for each build compared with A
# (version 2): the label orders them (a commit, a compiler version).
comparisons = sa.Table(
    "zarvek_comparisons", metadata, *kept_columns(),
    sa.Column("label", sa.Text),
    # What makes a series: the machine, the loop count, which build and
    # both builds' flags.
    sa.Column("machine", sa.Text, nullable=False),
    sa.Column("loops", sa.Integer, nullable=False),
    sa.Column("build", sa.String(8), nullable=False),
    sa.Column("reference_flags", sa.Text, nullable=False),
    sa.Column("flags", sa.Text, nullable=False),
    # What may change within one: each build's, and the system.
    *(sa.Column(f"{side}compiler", sa.Text, nullable=False) for side in ("reference_", "")),
    *(sa.Column(f"{side}{name}", sa.String(64)) for name in ("zarvek_sha256", "bench_sha256")
      for side in ("reference_", "")),
    *system_columns(),
    # The comparison.
    *figure_columns("ratio"),
    sa.Column("verdict", sa.String(16), nullable=False),
    sa.Column("document", sa.Text, nullable=False),
    sa.Index("zarvek_comparisons_series", "machine", "loops", "build", "date"))
# The columns a history reads: all but the document.
SUMMARY = {table: [c for c in table.columns if c.name != "document"]
           for table in (results, comparisons)}


def add_comparisons(connection):
    metadata.create_all(connection, tables=[comparisons])


UPGRADES = {1: add_comparisons}


class StoreError(Exception):
    """A store that cannot be read or written; the message names it (its
    password masked) and says why."""


def default_path():
    base = os.environ.get("XDG_DATA_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "zarvek", "results.db")


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def reason(error):
    """What went wrong, in the database's own words: its first line."""
    original = getattr(error, "orig", None) or error
    lines = str(original).strip().splitlines() or [type(original).__name__]
    return masked(lines[0])


class Store:
    """The store at LOCATION (--db: an SQLite file's path, sqlite:///PATH
    or postgresql://...; None for the default file)."""

    def __init__(self, location=None):
        self.default = location is None
        text = default_path() if location is None else location
        self.name = masked(text)
        try:
            if "://" in text:
                url = sa.engine.make_url(text)
            else:
                url = sa.engine.URL.create("sqlite", database=os.path.abspath(text))
            backend = url.get_backend_name()
        except (sa.exc.ArgumentError, ValueError) as e:
            raise StoreError(f"{self.name}: not a store's URL ({masked(str(e))})") from None
        if backend not in ("sqlite", "postgresql"):
            raise StoreError(f"{self.name}: a store is sqlite:///PATH or postgresql://...")
        self.sqlite = backend == "sqlite"
        if self.sqlite:
            self.path = url.database
            self.name = self.path if "://" not in text else self.name
            options = {"connect_args": {"timeout": SQLITE_TIMEOUT}}
            if "timeout" in url.query:
                options = {}
        else:
            options = {"connect_args": {} if "connect_timeout" in url.query
                       else {"connect_timeout": CONNECT_TIMEOUT}}
        try:
            self.engine = sa.create_engine(url, future=True, poolclass=sa.pool.NullPool,
                                           **options)
        except (sa.exc.SQLAlchemyError, ImportError, ValueError) as e:
            raise StoreError(f"{self.name}: {reason(e)}") from None
        if self.sqlite:
            sa.event.listen(self.engine, "connect", _sqlite_connect)
            sa.event.listen(self.engine, "begin", _sqlite_begin)

    def transaction(self, write):
        """A connection in a transaction, committed at the end of a with
        block and rolled back on an error; an SQLite writer takes the
        write lock at its start (BEGIN IMMEDIATE), so that two writers
        never deadlock upgrading a read lock."""
        store = self

        class Transaction:
            def __enter__(self):
                self.connection = store.engine.connect()
                self.connection.info["write"] = write
                self.transaction = self.connection.begin()
                return self.connection

            def __exit__(self, kind, value, trace):
                try:
                    if kind is None:
                        self.transaction.commit()
                    else:
                        self.transaction.rollback()
                finally:
                    self.connection.close()
        return Transaction()

    def failing(self, action, *args):
        """ACTION(*ARGS), its database errors said as a StoreError."""
        try:
            return action(*args)
        except sa.exc.SQLAlchemyError as e:
            raise StoreError(f"{self.name}: {reason(e)}") from None
        except OSError as e:
            raise StoreError(f"{self.name}: {e.strerror or e}") from None

    def version(self, connection):
        """The store's schema version; 0 for an empty database."""
        inspector = sa.inspect(connection)
        # The results table is looked for first: both tables are made in
        # one transaction, so where another writer commits them between
        # the two looks, the later look still sees the version.
        has_results = inspector.has_table(results.name)
        if not inspector.has_table(meta.name):
            if has_results:
                raise StoreError(f"{self.name}: has results but no schema version")
            return 0
        value = connection.execute(sa.select(meta.c.value).where(
            meta.c.key == "schema_version")).scalar()
        if value is None or not value.isdigit():
            raise StoreError(f"{self.name}: no schema version")
        return int(value)

    def check(self, version):
        if version > VERSION:
            raise StoreError(f"{self.name}: the store's schema is version {version}, newer "
                             f"than this zarvek-report's ({VERSION}): use a newer one")

    def open(self, create=True):
        """Checks the store's schema, upgrading it where it is older and
        creating it where there is none (with CREATE); returns self."""
        return self.failing(self._open, create)

    def _open(self, create):
        if self.sqlite and not os.path.exists(self.path):
            if not create:
                raise StoreError(f"{self.name}: no such store (nothing kept yet)")
            if self.default:
                os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with self.transaction(write=False) as connection:
            version = self.version(connection)
        self.check(version)
        if version == VERSION:
            return self
        if version == 0 and not create:
            raise StoreError(f"{self.name}: no results kept yet")
        with self.transaction(write=True) as connection:
            if not self.sqlite:
                connection.execute(sa.text("SELECT pg_advisory_xact_lock(:key)"),
                                   {"key": SCHEMA_LOCK})
            self.upgrade(connection, VERSION)
        return self

    def upgrade(self, connection, to):
        """Brings the store's schema to version TO, within CONNECTION's
        transaction (another process may have done it meanwhile)."""
        version = self.version(connection)
        self.check(version)
        if version == 0:
            metadata.create_all(connection, tables=[meta, results])
            connection.execute(meta.insert(), {"key": "schema_version", "value": "1"})
            version = 1
        while version < to:
            UPGRADES[version](connection)
            version += 1
            connection.execute(meta.update().where(meta.c.key == "schema_version"),
                               {"value": str(version)})

    def keep(self, record, table=results):
        """Keeps RECORD (a row of TABLE without id and kept) once: returns
        (its id, True) or, where a row with its digest is kept already,
        (that one's id, False)."""
        def keep():
            try:
                with self.transaction(write=True) as connection:
                    found = self.find(connection, table, record["digest"])
                    if found is not None:
                        return found, False
                    row = connection.execute(table.insert(), {**record, "kept": now()})
                    return row.inserted_primary_key[0], True
            except sa.exc.IntegrityError:
                # Another writer kept the same result meanwhile.
                with self.transaction(write=False) as connection:
                    return self.find(connection, table, record["digest"]), False
        return self.failing(keep)

    def find(self, connection, table, digest):
        return connection.execute(sa.select(table.c.id).where(
            table.c.digest == digest)).scalar()

    def reports(self, machine=None, since=None, table=results):
        """The summaries (every column but the document) of TABLE's rows,
        in the order they were kept; MACHINE keeps a machine's (by its
        name or its host's), SINCE those from that date on."""
        query = sa.select(*SUMMARY[table]).order_by(table.c.id)
        if machine is not None:
            query = query.where(sa.or_(table.c.machine == machine, table.c.host == machine))
        if since is not None:
            query = query.where(table.c.date >= since)

        def read():
            with self.transaction(write=False) as connection:
                rows = connection.execute(query)
                names = list(rows.keys())
                return [dict(zip(names, row)) for row in rows.fetchall()]
        return self.failing(read)


def _sqlite_connect(connection, _record):
    # pysqlite's own transaction handling off: _sqlite_begin begins them.
    connection.isolation_level = None


def _sqlite_begin(connection):
    connection.exec_driver_sql("BEGIN IMMEDIATE" if connection.info.get("write") else "BEGIN")
