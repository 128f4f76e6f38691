"""The far end of verified TLS, for the end-to-end tests: a certificate
authority of the test's own, and DNSSEC served and validated on loopback.

TestCa makes a CA with the openssl command and issues server certificates
from it (subjectAltName DNS names); spki_sha256 gives the digest a TLSA
"3 1 1" record publishes for a certificate.

PolicyServer is an HTTPS server (python's http.server under ssl) on a
loopback address and port 443, serving /.well-known/mta-sts.txt with the
text a test gives for each host name (the Host header).

SignedDns runs nsd (authoritative, Debian's nsd) for the zones a test
gives, those marked signed signed with a key made by ldns-keygen and
ldns-signzone (ldnsutils), and unbound (Debian's unbound) as the validating
resolver the mail system's NameServer points at. unbound knows only
loopback: stub zones for "." and every test zone lead to nsd (which
refuses what it does not serve), the only trust anchor is the signed
zones' own key, and the built-in "test." local zone is lifted. Nothing
reaches the machine's resolver or the Internet. Both run in the
foreground as children and are stopped by stop(); every wait is bounded.
"""

import hashlib
import http.server
import os
import random
import ssl
import subprocess
import threading
import time

from remotepeers import PEER_SECONDS, _port_free, query_dns

NSD = "/usr/sbin/nsd"
UNBOUND = "/usr/sbin/unbound"
LDNS_KEYGEN = "/usr/bin/ldns-keygen"
LDNS_SIGNZONE = "/usr/bin/ldns-signzone"


def _run(args, cwd=None):
    done = subprocess.run(args, cwd=cwd, capture_output=True, timeout=PEER_SECONDS * 3)
    if done.returncode != 0:
        raise AssertionError("%s failed: %s" % (args[0], done.stderr.decode("latin-1")[-2000:]))
    return done.stdout


class TestCa:
    """A CA in directory: cert_path is its certificate (what a CA file
    setting points at)."""

    def __init__(self, directory, name="ZEL Test CA"):
        self.directory = directory
        self.cert_path = os.path.join(directory, "ca.pem")
        self.key_path = os.path.join(directory, "ca.key")
        _run(["openssl", "req", "-x509", "-new", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=" + name,
              "-keyout", self.key_path, "-out", self.cert_path])

    def issue(self, *names, ips=()):
        """A server certificate for names (the first is its CN) and the IP
        addresses ips: (cert, key)."""
        base = os.path.join(self.directory, names[0])
        request, ext = base + ".csr", base + ".ext"
        with open(ext, "w") as f:
            f.write("subjectAltName=" + ",".join(["DNS:" + n for n in names] +
                                                 ["IP:" + a for a in ips]) + "\n"
                    "extendedKeyUsage=serverAuth\n")
        _run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
              "-nodes", "-subj", "/CN=" + names[0], "-keyout", base + ".key", "-out", request])
        _run(["openssl", "x509", "-req", "-in", request, "-CA", self.cert_path, "-CAkey",
              self.key_path, "-CAcreateserial", "-days", "2", "-extfile", ext,
              "-out", base + ".pem"])
        return base + ".pem", base + ".key"


def spki_sha256(cert_path):
    """The SHA-256 of the certificate's public key (SubjectPublicKeyInfo),
    in hex: the data of a TLSA 3 1 1 record."""
    pem = _run(["openssl", "x509", "-in", cert_path, "-noout", "-pubkey"])
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=pem,
                         capture_output=True, timeout=PEER_SECONDS, check=True).stdout
    return hashlib.sha256(der).hexdigest()


def _free_port():
    for _ in range(50):
        port = random.randrange(20000, 60000)
        if _port_free(port):
            return port
    raise AssertionError("no free port on 127.0.0.1")


class SignedDns:
    """zones: {origin: (signed, [record lines relative to the origin])}.
    address: the NameServer entry of the validating resolver."""

    def __init__(self, directory, zones):
        self.directory = directory
        self.zones = zones
        self.procs = []
        self.port = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def _write_zone(self, origin, signed, records):
        path = os.path.join(self.directory, origin + ".zone")
        with open(path, "w") as f:
            f.write("$ORIGIN %s.\n$TTL 300\n" % origin)
            f.write("@ IN SOA ns.%s. hostmaster.%s. 1 3600 600 86400 300\n" % (origin, origin))
            f.write("@ IN NS ns.%s.\nns IN A 127.0.0.1\n" % origin)
            f.write("".join(line + "\n" for line in records))
        if not signed:
            return path, None
        key = _run([LDNS_KEYGEN, "-a", "ECDSAP256SHA256", "-k", origin],
                   cwd=self.directory).decode().strip()
        _run([LDNS_SIGNZONE, path, key], cwd=self.directory)
        with open(os.path.join(self.directory, key + ".key")) as f:
            return path + ".signed", f.read()

    def start(self):
        zone_files, anchors = {}, []
        for origin, (signed, records) in self.zones.items():
            zone_files[origin], anchor = self._write_zone(origin, signed, records)
            if anchor:
                anchors.append(anchor)
        anchor_path = os.path.join(self.directory, "anchors")
        with open(anchor_path, "w") as f:
            f.write("".join(anchors))
        nsd_port = self._start_nsd(zone_files)
        self._start_unbound(nsd_port, anchor_path)
        return self

    def _start_nsd(self, zone_files):
        d = self.directory
        port = _free_port()
        conf = os.path.join(d, "nsd.conf")
        with open(conf, "w") as f:
            f.write('server:\n  ip-address: 127.0.0.1@%d\n  port: %d\n  username: ""\n'
                    '  chroot: ""\n  database: ""\n  zonesdir: "%s"\n  pidfile: "%s/nsd.pid"\n'
                    '  xfrdfile: "%s/xfrd.state"\n  zonelistfile: "%s/zone.list"\n'
                    '  logfile: "%s/nsd.log"\n  server-count: 1\n  ip4-only: yes\n'
                    'remote-control:\n  control-enable: no\n' % (port, port, d, d, d, d, d))
            for origin, path in zone_files.items():
                f.write('zone:\n  name: "%s"\n  zonefile: "%s"\n' % (origin, path))
        self._launch([NSD, "-d", "-c", conf], port, "ns." + next(iter(zone_files)))
        return port

    def _start_unbound(self, nsd_port, anchor_path):
        d = self.directory
        self.port = _free_port()
        conf = os.path.join(d, "unbound.conf")
        stubs = ["."] + sorted({"test"} | set(self.zones))
        with open(conf, "w") as f:
            f.write('server:\n  interface: 127.0.0.1@%d\n  port: %d\n  do-ip6: no\n'
                    '  do-not-query-localhost: no\n  username: ""\n  chroot: ""\n'
                    '  directory: "%s"\n  pidfile: ""\n  use-syslog: no\n'
                    '  logfile: "%s/unbound.log"\n  module-config: "validator iterator"\n'
                    '  qname-minimisation: no\n  num-threads: 1\n'
                    '  access-control: 127.0.0.0/8 allow\n  trust-anchor-file: "%s"\n'
                    '  local-zone: "test." nodefault\nremote-control:\n  control-enable: no\n'
                    % (self.port, self.port, d, d, anchor_path))
            for name in stubs:
                f.write('stub-zone:\n  name: "%s"\n  stub-addr: 127.0.0.1@%d\n' % (name, nsd_port))
        self._launch([UNBOUND, "-d", "-c", conf], self.port, "ns." + next(iter(self.zones)))

    def _launch(self, args, port, probe):
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        deadline = time.monotonic() + PEER_SECONDS
        while time.monotonic() < deadline and proc.poll() is None:
            try:
                if query_dns(port, probe, 1).answers:
                    return
            except (OSError, AssertionError, ValueError):
                pass
            time.sleep(0.05)
        self.stop()
        raise AssertionError("%s did not start on port %d" % (args[0], port))

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=PEER_SECONDS)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=PEER_SECONDS)
        self.procs = []


class PolicyServer:
    """HTTPS on address:443 with cert/key; policies: {host: text}."""

    def __init__(self, address, cert, key, policies):
        self.address = address
        self.policies = policies
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                host = self.headers.get("Host", "").split(":")[0]
                server.requests.append((host, self.path))
                body = server.policies.get(host)
                if self.path != "/.well-known/mta-sts.txt" or body is None:
                    self.send_error(404)
                    return
                data = body.encode("latin-1")
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.httpd = http.server.ThreadingHTTPServer((address, 443), Handler)
        self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True)
        self.httpd.timeout = PEER_SECONDS
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(PEER_SECONDS)
