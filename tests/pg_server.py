# SPDX-License-Identifier: MIT
"""A throwaway PostgreSQL server for the store's tests and studies: initdb
and pg_ctl from /usr/lib/postgresql/*/bin (which Debian does not put on
PATH) in a temporary folder, listening on a Unix socket there alone, run
as the postgres user when run as root, with a password that clients must
give; stopped and removed by stop()."""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

PASSWORD = "pw-never-shown-7q3"
USER = "zarvek"


def binaries():
    """The newest installed PostgreSQL's programs' folder, or None."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


class Server:
    def __init__(self):
        self.bin = binaries()
        self.folder = tempfile.mkdtemp(prefix="zarvek-pg-")
        self.data = os.path.join(self.folder, "data")
        self.as_user = []
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.folder, owner.pw_uid, owner.pw_gid)
            self.as_user = ["runuser", "-u", "postgres", "--"]
        password_file = os.path.join(self.folder, "password")
        with open(password_file, "w") as f:
            f.write(PASSWORD + "\n")
        if self.as_user:
            os.chown(password_file, owner.pw_uid, owner.pw_gid)
        try:
            self.run("initdb", "-D", self.data, "-U", USER, "--pwfile", password_file,
                     "--auth=scram-sha-256", "-E", "UTF8", "--no-sync")
            self.run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-w",
                     "-o", f"-k {self.folder} -c listen_addresses= -c fsync=off", "start")
        except BaseException:
            self.stop()
            raise
        self.databases = 0

    def run(self, program, *args):
        subprocess.run([*self.as_user, os.path.join(self.bin, program), *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=self.folder)

    def url(self, database="postgres", password=PASSWORD):
        return f"postgresql://{USER}:{password}@/{database}?host={self.folder}"

    def new_database(self):
        """A URL of a new, empty database."""
        import psycopg2

        self.databases += 1
        name = f"store{self.databases}"
        connection = psycopg2.connect(dbname="postgres", user=USER, password=PASSWORD,
                                      host=self.folder)
        connection.autocommit = True
        connection.cursor().execute(f"CREATE DATABASE {name}")
        connection.close()
        return self.url(name)

    def stop(self):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self.run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(self.folder, ignore_errors=True)
