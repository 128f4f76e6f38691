"""The network engine under the two servers, end to end: where they listen
(ListenAddresses, IPv4 and IPv6, and a listener that cannot be bound), the
connection limits with each server's refusal text, and a receiver that runs
out of descriptors and serves again once they are back.
"""

import os
import resource
import select
import socket
import time
import unittest

from zelharness import (LOCAL_HOST, WAIT_SECONDS, Pop3Server, Receiver, Scratch,
                        has_ipv6_loopback, poll, program_path, run, service_key)

TOO_MANY_SMTP = "421 Too many connections, try later\r\n"
TOO_MANY_POP3 = "-ERR too many connections\r\n"
OUT_OF_DESCRIPTORS = 'Win32 API routine "accept" failed: Too many open files'


class ListenAddressesTest(unittest.TestCase):
    def test_listens_where_told_and_reports_a_bad_entry_once(self):
        receiver = Receiver()
        self.addCleanup(receiver.stop)
        entries = ["127.0.0.1", "127.0.0.300", "127.0.0.1"]
        if has_ipv6_loopback():
            entries.append("::1")
        receiver.scratch.reg_set(service_key("ZELRECV"), "ListenAddresses", "multi_sz", *entries)
        receiver.start()
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", receiver.port), timeout=WAIT_SECONDS).close()
        events = receiver.scratch.events()
        self.assertEqual(events.count("The setting ListenAddresses has an entry that is not "
                                      'valid: "127.0.0.300". It is ignored.'), 1, events)
        if "::1" not in entries:
            self.skipTest("no IPv6 loopback address")
        # Reached over IPv6, the receiver still knows its own name.
        with receiver.connect("::1") as conn:
            self.assertTrue(conn.greeting.startswith("220 %s " % LOCAL_HOST), conn.greeting)

    def test_a_listener_that_cannot_be_bound_fails_the_start(self):
        scratch = Scratch("zel-e2e-net-")
        self.addCleanup(scratch.cleanup)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            scratch.prepare_registry(services={"ZELRECV": {"PortNo": port}})
            scratch.reg_set(service_key("ZELRECV"), "ListenAddresses", "multi_sz", "127.0.0.1")
            result = run(scratch, program_path("zelrecv"), "-run")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn('Win32 API routine "bind 127.0.0.1:%d" failed: Address already in use'
                      % port, scratch.events())


class LimitsTest(unittest.TestCase):
    """The harness's start-up probe may still count for a moment after it
    quit, so the connections a test holds are taken once they are let in."""

    def admitted(self, server, refusal, source=None):
        """A connection that was greeted (tries again while refused)."""
        def attempt():
            conn = server.connect(source=source)
            if conn.greeting != refusal:
                return conn
            conn.close()
            return None
        conn = poll(attempt)
        self.assertIsNotNone(conn, "never let in")
        self.addCleanup(conn.close)
        return conn

    def assertRefused(self, server, refusal, source=None):
        with server.connect(source=source) as refused:
            self.assertEqual(refused.greeting, refusal)
            self.assertTrue(refused.wait_closed())

    def test_smtp_limits_per_client_and_in_all(self):
        # No RelayClients: their clients (by default this computer's) are
        # spared the per-client limit.
        receiver = Receiver({"MaxConnections": 3, "MaxConnectionsPerClient": 2,
                             "RelayClients": []}).start()
        self.addCleanup(receiver.stop)
        first = self.admitted(receiver, TOO_MANY_SMTP)
        self.admitted(receiver, TOO_MANY_SMTP)
        self.assertRefused(receiver, TOO_MANY_SMTP)                 # a third from 127.0.0.1
        self.admitted(receiver, TOO_MANY_SMTP, "127.0.0.2")
        self.assertRefused(receiver, TOO_MANY_SMTP, "127.0.0.3")    # a fourth in all
        # A place that frees up is taken again.
        first.command("QUIT")
        self.admitted(receiver, TOO_MANY_SMTP, "127.0.0.3")

    def test_pop3_refusal(self):
        server = Pop3Server({"MaxConnections": 1}).start()
        self.addCleanup(server.stop)
        self.assertTrue(self.admitted(server, TOO_MANY_POP3).greeting.startswith("+OK "))
        self.assertRefused(server, TOO_MANY_POP3)


class DescriptorExhaustionTest(unittest.TestCase):
    """With its descriptors used up, the receiver's listener waits and tries
    again (saying so once) instead of ending; once clients leave, it greets
    new ones."""

    CLIENTS = 40

    def test_receiver_out_of_descriptors_recovers(self):
        receiver = Receiver({"MaxConnectionsPerClient": 0}).start()
        self.addCleanup(receiver.stop)
        pid = receiver.service.proc.pid
        in_use = len(os.listdir("/proc/%d/fd" % pid))
        _, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 10, hard))
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        for _ in range(self.CLIENTS):
            clients.append(socket.create_connection(("127.0.0.1", receiver.port),
                                                    timeout=WAIT_SECONDS))
        greeted = self._greeted(clients, seconds=2)
        self.assertGreater(greeted, 0)
        self.assertLess(greeted, self.CLIENTS)
        self.assertTrue(poll(lambda: OUT_OF_DESCRIPTORS in receiver.service.stderr()),
                        receiver.service.stderr()[-2000:])
        for c in clients:
            c.close()
        with receiver.connect() as conn:
            self.assertTrue(conn.greeting.startswith("220 "), conn.greeting)
        self.assertEqual(receiver.service.stderr().count(OUT_OF_DESCRIPTORS), 1)

    @staticmethod
    def _greeted(clients, seconds):
        """How many of clients get a greeting within seconds."""
        waiting = list(clients)
        greeted = 0
        deadline = time.monotonic() + seconds
        while waiting and time.monotonic() < deadline:
            ready, _, _ = select.select(waiting, [], [], deadline - time.monotonic())
            for c in ready:
                greeted += c.recv(512).startswith(b"220 ")
                waiting.remove(c)
        return greeted


if __name__ == "__main__":
    unittest.main()
