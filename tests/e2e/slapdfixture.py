"""An LDAP directory for the end-to-end tests: Debian's slapd, started by
the test under a scratch directory, on loopback only.

Slapd runs in the foreground (-d stats: its operations in slapd.log) as a child, from a slapd.conf of the
test's own (no cn=config, nothing of the machine's /etc/ldap but the
schema files core, cosine, inetorgperson, nis and misc), with one mdb
database for BASE_DN. It listens on ldap://127.0.0.1:port, on
ldaps://127.0.0.1:tls_port when a TLS pair is given (a TestCa's, see
tlspeers), and on ldapi:// under the scratch directory. The manager
(ADMIN_DN) may write everything; the service account (SERVICE_DN) may
read everything but passwords, which only a bind may test; a user may
bind as itself. Nothing else is readable.

The fixture's users (USERS) cover what the mail system must tell apart: a
user with POSIX attributes (alice: runs as her uidNumber), a virtual user
with aliases (bob: no posixAccount, addresses in mailLocalAddress), and a
user whose mailbox is on another mail host (carol: mailHost). A test adds,
changes and deletes entries with ldapadd, ldapmodify and ldapdelete
(ldap-utils) as the manager: add(), modify(), delete().

stop() ends slapd and keeps its database; start() again serves the same
entries on the same ports (the test of a directory that went away and came
back). Every wait is bounded.
"""

import os
import random
import shutil
import signal
import socket
import subprocess
import time

SLAPD = "/usr/sbin/slapd"
SCHEMA_DIR = "/etc/ldap/schema"
MODULE_DIR = "/usr/lib/ldap"
LDAPADD = "/usr/bin/ldapadd"
LDAPMODIFY = "/usr/bin/ldapmodify"
LDAPDELETE = "/usr/bin/ldapdelete"

# Every wait of the fixture is bounded by this many seconds.
SLAPD_SECONDS = 15

BASE_DN = "dc=example,dc=test"
ADMIN_DN = "cn=admin," + BASE_DN
ADMIN_PASSWORD = "admin-secret"
SERVICE_DN = "cn=zel,ou=services," + BASE_DN
SERVICE_PASSWORD = "zel-service-secret"
PEOPLE_DN = "ou=people," + BASE_DN
MAIL_DOMAIN = "example.test"

# Each user: uid -> (password, extra attribute lines). alice is a POSIX
# user, bob a virtual user with two aliases, carol lives on another host.
ALICE_UID = 5101
USERS = {
    "alice": ("alice-pw", ["objectClass: posixAccount", "uidNumber: %d" % ALICE_UID,
                           "gidNumber: %d" % ALICE_UID, "homeDirectory: /home/alice"]),
    "bob": ("bob-pw", ["objectClass: inetLocalMailRecipient",
                       "mailLocalAddress: robert@" + MAIL_DOMAIN,
                       "mailLocalAddress: bobby@" + MAIL_DOMAIN]),
    "carol": ("carol-pw", ["objectClass: inetLocalMailRecipient",
                           "mailHost: mail3." + MAIL_DOMAIN]),
}


def user_dn(uid):
    return "uid=%s,%s" % (uid, PEOPLE_DN)


def user_ldif(uid, password, extra=()):
    """An inetOrgPerson entry for uid with mail uid@MAIL_DOMAIN."""
    lines = ["dn: " + user_dn(uid), "objectClass: inetOrgPerson", "uid: " + uid,
             "cn: " + uid.capitalize(), "sn: " + uid.capitalize(),
             "mail: %s@%s" % (uid, MAIL_DOMAIN), "userPassword: " + password]
    return "\n".join(lines + list(extra)) + "\n"


def _port_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def _free_port(avoid=()):
    for _ in range(100):
        port = random.randrange(20000, 60000)
        if port not in avoid and _port_free(port):
            return port
    raise AssertionError("no free port on 127.0.0.1")


def _listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class Slapd:
    """slapd in directory. tls: (certificate, key) of the server for
    ldaps:// and StartTLS, or None for clear text only."""

    def __init__(self, directory, tls=None):
        self.directory = directory
        self.tls = tls
        self.port = _free_port()
        self.tls_port = _free_port({self.port}) if tls else None
        self.data_dir = os.path.join(directory, "slapd-data")
        self.socket_path = os.path.join(directory, "slapd.sock")
        self.conf = os.path.join(directory, "slapd.conf")
        self.proc = None
        self.log = None
        os.makedirs(self.data_dir, exist_ok=True)
        self._write_conf()
        self._seeded = False

    @property
    def uri(self):
        return "ldap://127.0.0.1:%d" % self.port

    @property
    def ldaps_uri(self):
        return "ldaps://127.0.0.1:%d" % self.tls_port

    @property
    def ldapi_uri(self):
        return "ldapi://" + self.socket_path.replace("/", "%2F")

    def _write_conf(self):
        schemas = "".join("include %s/%s.schema\n" % (SCHEMA_DIR, s)
                          for s in ("core", "cosine", "inetorgperson", "nis", "misc"))
        tls = ""
        if self.tls:
            tls = "TLSCertificateFile %s\nTLSCertificateKeyFile %s\n" % self.tls
        with open(self.conf, "w") as f:
            f.write(schemas + tls +
                    "pidfile %s/slapd.pid\n" % self.directory +
                    "modulepath %s\nmoduleload back_mdb\n" % MODULE_DIR +
                    "access to attrs=userPassword\n"
                    "  by dn.exact=\"%s\" write\n  by anonymous auth\n  by * none\n" % ADMIN_DN +
                    "access to *\n  by dn.exact=\"%s\" read\n  by self read\n  by * none\n"
                    % SERVICE_DN +
                    "database mdb\nmaxsize 67108864\nsuffix \"%s\"\n" % BASE_DN +
                    "rootdn \"%s\"\nrootpw %s\ndirectory %s\n" % (ADMIN_DN, ADMIN_PASSWORD,
                                                                  self.data_dir) +
                    "index objectClass,uid,mail,mailLocalAddress eq\n")

    def _urls(self):
        urls = [self.uri, self.ldapi_uri]
        if self.tls:
            urls.append(self.ldaps_uri)
        return " ".join(urls)

    def start(self):
        if self.proc is not None:
            return self
        self.log = open(os.path.join(self.directory, "slapd.log"), "ab")
        self.proc = subprocess.Popen([SLAPD, "-d", "stats", "-f", self.conf, "-h", self._urls()],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + SLAPD_SECONDS
        ports = [self.port] + ([self.tls_port] if self.tls else [])
        while not all(_listening(p) for p in ports):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("slapd did not start: %s" % self.log_text()[-2000:])
            time.sleep(0.05)
        if not self._seeded:
            self._seed()
            self._seeded = True
        return self

    def _seed(self):
        entries = ["dn: %s\nobjectClass: dcObject\nobjectClass: organization\ndc: example\n"
                   "o: Example\n" % BASE_DN,
                   "dn: ou=people,%s\nobjectClass: organizationalUnit\nou: people\n" % BASE_DN,
                   "dn: ou=services,%s\nobjectClass: organizationalUnit\nou: services\n" % BASE_DN,
                   "dn: %s\nobjectClass: organizationalRole\nobjectClass: simpleSecurityObject\n"
                   "cn: zel\nuserPassword: %s\n" % (SERVICE_DN, SERVICE_PASSWORD)]
        entries += [user_ldif(uid, pw, extra) for uid, (pw, extra) in USERS.items()]
        self.add("\n".join(entries))

    def _manager(self, program, text, *args):
        done = subprocess.run([program, "-x", "-H", self.uri, "-D", ADMIN_DN, "-w",
                               ADMIN_PASSWORD, *args], input=text.encode(), capture_output=True,
                              timeout=SLAPD_SECONDS)
        if done.returncode != 0:
            raise AssertionError("%s failed: %s" % (os.path.basename(program),
                                                    done.stderr.decode("latin-1")))

    def add(self, ldif):
        self._manager(LDAPADD, ldif)

    def modify(self, ldif):
        """ldif: changetype records ("dn: ...\\nchangetype: modify\\nreplace: ...")."""
        self._manager(LDAPMODIFY, ldif)

    def delete(self, dn):
        self._manager(LDAPDELETE, "", dn)

    def stop(self):
        """Ends slapd (the database stays for the next start)."""
        proc, self.proc = self.proc, None
        if proc is not None and proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=SLAPD_SECONDS)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=SLAPD_SECONDS)
        if self.log is not None:
            self.log.close()
            self.log = None

    def log_text(self):
        try:
            with open(os.path.join(self.directory, "slapd.log"), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.data_dir, ignore_errors=True)


def write_secret(path, secret):
    """A password file as the directory settings want it: root's, 0600."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(secret + "\n")
    return path
