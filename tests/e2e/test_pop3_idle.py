"""The POP3 idle close racing the clients, against a running zelfetch.

With a one-second idle limit, many clients send their next bytes just
before, at and just after the limit, so the idle check's cancel of a read
meets reads that are completing, partial lines, logons holding a mailbox
lock and clients that reset. Whatever the interleaving, every connection
gets either its reply or a silent close, the server keeps answering, no
mailbox stays locked, and (under AddressSanitizer, `./zel test`) no
record is used after it was freed.
"""

import os
import random
import socket
import threading
import time
import unittest

from zelharness import WAIT_SECONDS, Pop3Server

CLIENTS = 24
ROUNDS = 6              # idle gaps per client
IDLE_LIMIT = 1          # seconds


def one_client(server, seed, user, password, outcome):
    rnd = random.Random(seed)
    replies = closes = 0
    for _ in range(ROUNDS):
        try:
            with socket.create_connection(("127.0.0.1", server.port), timeout=WAIT_SECONDS) as s:
                s.settimeout(WAIT_SECONDS)
                if not s.recv(512).startswith(b"+OK "):
                    outcome.append("bad greeting")
                    return
                if rnd.random() < 0.5:
                    s.sendall(b"USER %s\r\nPASS %s\r\n" % (user.encode(), password.encode()))
                for _ in range(3):
                    time.sleep(IDLE_LIMIT + rnd.uniform(-0.3, 1.3))
                    action = rnd.choice((b"NOOP\r\n", b"NO", b"OP\r\n", b"STAT\r\n", None))
                    if action is None:
                        # An abortive close from the client side.
                        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                        break
                    s.sendall(action)
                    data = s.recv(4096)
                    if not data:
                        closes += 1
                        break
                    replies += 1
        except (ConnectionResetError, BrokenPipeError):
            closes += 1
    outcome.append((replies, closes))


class IdleRaceTest(unittest.TestCase):

    def test_idle_close_races_client_input(self):
        users = {"race%02d" % i: "pw-race-%02d" % i for i in range(4)}
        server = Pop3Server({"Timeout": IDLE_LIMIT, "MinimumTimeout": 1}, users=users)
        try:
            for user in users:
                os.makedirs(server.mailbox(user), exist_ok=True)
            server.start()
            outcomes = []
            names = sorted(users)
            threads = [threading.Thread(target=one_client,
                                        args=(server, i, names[i % 4], users[names[i % 4]],
                                              outcomes))
                       for i in range(CLIENTS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(WAIT_SECONDS * 3)
            self.assertEqual(len(outcomes), CLIENTS, outcomes)
            self.assertTrue(all(isinstance(o, tuple) for o in outcomes), outcomes)
            self.assertGreater(sum(o[0] for o in outcomes), 0)
            self.assertGreater(sum(o[1] for o in outcomes), 0)
            # Still answering, and every mailbox lock went with its connection.
            for user in names:
                conn = server.connect()
                self.assertEqual(conn.command("USER " + user), "+OK %s is welcome here\r\n" % user)
                self.assertTrue(conn.command("PASS " + users[user]).startswith("+OK "))
                conn.command("QUIT")
                conn.close()
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main()
