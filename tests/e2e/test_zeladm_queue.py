"""zeladm queue against a running delivery agent: mail to a domain whose
exchanger is down is listed (text and JSON), shown, held (and then passed
over when the domain is tried), released, retried at once and deleted while
the agent runs.

The peers are those of the remote delivery tests (tests/e2e/remotepeers):
the test's own dnsmasq serves far.test, whose exchanger 127.0.0.9 has
nothing listening until the test starts an aiosmtpd server there.
"""

import json
import os
import time
import unittest

import test_remote_delivery as remote
from test_remote_delivery import RemoteCase
from zelharness import poll

EXCHANGER = "127.0.0.9"


def setUpModule():
    remote.setUpModule()


class QueueCommandTest(RemoteCase):

    def adm(self, *args, status=0):
        result = self.mail.scratch.zeladm("queue", *args, check=False)
        self.assertEqual(result.returncode, status, "zeladm queue %s: %s%s"
                         % (" ".join(args), result.stdout, result.stderr))
        return result

    def listing(self):
        return json.loads(self.adm("list", "--json").stdout)

    def by_subject(self, subject):
        for m in self.listing()["messages"]:
            # A message being taken up may be between two queues when shown.
            shown = self.mail.scratch.zeladm("queue", "show", m["id"], check=False)
            if ("Subject: %s" % subject) in shown.stdout:
                return m
        return None

    def test_list_hold_release_retry_delete_with_the_agent_running(self):
        ns = self.name_server(mx=[("far.test", "mx.far.test", 10)],
                              hosts=[("mx.far.test", EXCHANGER)])
        self.mail_system(ns.address)
        self.send(["bob@far.test", "carol@far.test"], "first")
        self.send(["dave@far.test"], "second")
        self.start_agent()
        self.wait_try_number("far.test", 1)

        data = self.listing()
        self.assertEqual(data["totals"]["messages"], 2, data)
        self.assertEqual(data["totals"]["recipients"], 3, data)
        first, second = self.by_subject("first"), self.by_subject("second")
        self.assertEqual(first["return_path"], remote.SENDER)
        self.assertGreater(first["size"], 0)
        self.assertEqual(sorted(r["address"] for r in first["recipients"]),
                         ["bob@far.test", "carol@far.test"])
        rcpt = first["recipients"][0]
        self.assertEqual((rcpt["queue"], rcpt["tries"]), ("far.test", 1))
        self.assertGreater(rcpt["next_try"], time.time() + 60 * (remote.FIRST_RETRY_MINUTES - 1))
        self.assertTrue(rcpt["last_error"], rcpt)   # the connection failed
        text = self.adm("list").stdout
        self.assertIn(first["id"], text)
        self.assertIn("tries 1, next try in", text)
        self.assertIn("-- 2 messages (0 held), 3 recipients", text)

        # Bad and missing identifiers: no path is built, nothing happens.
        for bad in ("../holding/" + first["id"], first["id"] + ".MSG", ""):
            self.adm("delete", bad, status=2)
        self.adm("show", "B9999999999", status=1)
        self.adm("hold", "B9999999999", status=1)
        self.adm("retry", "nowhere.test", status=1)

        # Held: the attempt that the retry starts passes it over.
        self.adm("hold", first["id"])
        self.assertTrue(self.by_subject("first")["held"])
        ex = self.exchanger(EXCHANGER)
        self.adm("retry", "far.test")
        self.wait_messages_at(ex, 1)
        self.wait_try_number("far.test", 2)
        self.assertEqual(ex.message_count(), 1)
        self.assertIn(b"Subject: second\r\n", ex.messages[0][2])
        self.assertEqual([m["id"] for m in self.listing()["messages"]], [first["id"]])

        # New mail waits for the domain's next try; it is deleted meanwhile.
        self.send(["erin@far.test"], "third")
        def taken_up():
            m = self.by_subject("third")
            return m if m and m["recipients"][0]["queue"] == "far.test" else None
        third = poll(taken_up, remote.WAIT)
        self.assertTrue(third, self.adm("list").stdout)
        self.assertIn("deleted " + third["id"], self.adm("delete", third["id"]).stdout)
        self.adm("delete", third["id"], status=1)
        for path in (self.domain_dir("far.test", third["id"] + ".RCP"),
                     self.mail.spool("holding", third["id"] + ".MSG")):
            self.assertFalse(os.path.exists(path), path)

        # Released and retried (all domains): only the first goes now.
        self.adm("release", first["id"])
        self.adm("retry")
        self.wait_messages_at(ex, 2)
        self.wait_domain_done("far.test")
        self.assertEqual(ex.message_count(), 2)
        self.assertIn(b"Subject: first\r\n", ex.messages[1][2])
        self.assertEqual(self.listing()["totals"]["messages"], 0)
        self.assertIn("The queue is empty.", self.adm("list").stdout)

    def test_delete_waits_for_the_transfer_under_way(self):
        # bob is taken and carol deferred while the data waits at the
        # exchanger; the agent then rewrites the recipient file for carol.
        # The delete must come after that rewrite, not be undone by it.
        ns = self.name_server(mx=[("far.test", "mx.far.test", 10)],
                              hosts=[("mx.far.test", EXCHANGER)])
        ex = self.exchanger(EXCHANGER)
        ex.rcpt_replies = {"carol@far.test": "451 4.3.0 Later"}
        ex.hold_seconds = 3
        self.mail_system(ns.address)
        self.send(["bob@far.test", "carol@far.test"], "in transfer")
        # A second message keeps the queue directory from going empty.
        self.send(["dave@far.test"], "next")
        ident = self.listing()["messages"][0]["id"]
        self.start_agent()
        in_data = poll(lambda: any(c.upper().startswith("DATA")
                                   for s in ex.session_list() for c in s.commands), remote.WAIT)
        self.assertTrue(in_data, [s.commands for s in ex.session_list()])
        self.assertIn("deleted " + ident, self.adm("delete", ident).stdout)
        self.wait_messages_at(ex, 2)
        time.sleep(2 * remote.SCAN_SECONDS)
        self.assertFalse(os.path.exists(self.domain_dir("far.test", ident + ".RCP")))
        self.assertNotIn(ident, [m["id"] for m in self.listing()["messages"]])


if __name__ == "__main__":
    unittest.main()
