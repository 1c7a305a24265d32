#!/usr/bin/python3
"""qvsmtp send against real SMTP servers: aiosmtpd, which stores what it
receives, Postfix's smtp-sink, and a private Postfix instance that delivers
to Maildirs.

ctest starts the servers (servers.py) and runs one class of this file per
test: qvsmtp_cases.py [-v] CLASS. The environment names the program (QVSMTP)
and the folder where servers.py recorded the servers (QV_INTEGRATION_SERVERS).
A class whose tests were all skipped exits with 77, which ctest shows as a
skipped test. NeverGreets takes over a minute and runs only with
QV_LONG_TESTS=1.
"""

import base64
import concurrent.futures
import email
import email.policy
import glob
import hashlib
import json
import os
import random
import re
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from datetime import datetime, timedelta, timezone
from email.utils import parsedate_to_datetime
from zoneinfo import ZoneInfo

STATE_DIR = os.environ.get("QV_INTEGRATION_SERVERS", "")
QVSMTP = os.environ.get("QVSMTP", "")
# Sends are tried on a loaded machine, and under the sanitizers.
SEND_LIMIT = 120

DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def server(name):
    """The port and spool of a server that servers.py started."""
    if not STATE_DIR:
        raise unittest.SkipTest("QV_INTEGRATION_SERVERS is not set (run through ctest)")
    path = os.path.join(STATE_DIR, name + ".json")
    if not os.path.exists(path):
        raise AssertionError(f"server {name} is not running: no {path}")
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def require_program():
    if not QVSMTP:
        raise unittest.SkipTest("QVSMTP is not set (run through ctest)")


def unique_sender(tag):
    return f"{tag}-{secrets.token_hex(6)}@qvsmtp.test"



def expected_helo_name():
    """What the control says after HELO from 127.0.0.1 with no name set: the
    machine's fully qualified name, or else the address literal."""
    try:
        infos = socket.getaddrinfo(socket.gethostname(), None, flags=socket.AI_CANONNAME)
        name = infos[0][3].rstrip(".") if infos else ""
    except OSError:
        name = ""
    return name if "." in name else "[127.0.0.1]"

class Outcome:
    def __init__(self, completed, wall):
        self.exit = completed.returncode
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.wall = wall
        lines = completed.stdout.decode("utf-8").splitlines()
        self.json = json.loads(lines[-1]) if lines else {}

    @property
    def status_str(self):
        return self.json.get("statusStr")

    @property
    def messages(self):
        return self.json.get("debugMessages", [])

    def __repr__(self):
        return f"exit {self.exit}, {self.json}, stderr:\n{self.stderr}"


def send(port, *args, tz="America/New_York", stdin=None, timeout=SEND_LIMIT):
    """Runs qvsmtp send to 127.0.0.1 on port; the outcome comes from --json."""
    env = dict(os.environ, TZ=tz)
    command = [QVSMTP, "send", "--server", "127.0.0.1", "--port", str(port), "--json",
               "--quiet", *args]
    started = time.monotonic()
    completed = subprocess.run(command, input=stdin, capture_output=True, env=env,
                               timeout=timeout)
    return Outcome(completed, time.monotonic() - started)


def stored_messages(aiosmtpd, sender):
    """(envelope, message bytes) of every message aiosmtpd took from sender."""
    found = []
    for path in sorted(glob.glob(os.path.join(aiosmtpd["spool"], "*.json"))):
        with open(path, encoding="utf-8") as f:
            envelope = json.load(f)
        if envelope["mail_from"] == sender:
            with open(os.path.join(aiosmtpd["spool"], envelope["message"]), "rb") as f:
                found.append((envelope, f.read()))
    return found


def offered_recipients(aiosmtpd, sender):
    """Every RCPT that aiosmtpd was offered in a transaction of sender."""
    path = os.path.join(aiosmtpd["spool"], "rcpt.jsonl")
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        entries = [json.loads(line) for line in f if line.strip()]
    return [e["rcpt"] for e in entries if e["mail_from"] == sender]


def date_value(local_text, tz):
    """The Date header for local time "YYYY-MM-DD HH:MM:SS" in zone tz."""
    t = datetime.strptime(local_text, "%Y-%m-%d %H:%M:%S").replace(tzinfo=ZoneInfo(tz))
    offset = int(t.utcoffset().total_seconds()) // 60
    sign = "-" if offset < 0 else "+"
    return (f"{DAYS[t.weekday()]}, {t.day} {MONTHS[t.month - 1]} {t.year:04d} "
            f"{t:%H:%M:%S} {sign}{abs(offset) // 60:02d}{abs(offset) % 60:02d}")


def encoded_words(name, value):
    """An unstructured header value outside ASCII as the control writes it:
    base64 encoded-words in UTF-8 of whole characters, folded so that every
    line stays within 78 characters."""
    if value.isascii():
        return value
    words, used, current = [], len(name) + 2, b""
    for char in value:
        room = min(45, (78 - used - 12) // 4 * 3)
        piece = char.encode()
        if current and len(current) + len(piece) > room:
            words.append(current)
            used, current = 1, b""
        current += piece
    words.append(current)
    return "\r\n ".join(f"=?UTF-8?B?{base64.b64encode(w).decode()}?=" for w in words)


# The program labels a body it streams UTF-8: it cannot know the text ahead.
STREAMED_CONTENT_TYPE = "text/plain; charset=UTF-8"


def message_id_of(message):
    """The id of the one Message-ID line of a stored message: 128 random bits
    as 32 hex digits at the sender's domain."""
    ids = re.findall(rb"\r\nMessage-ID: <([0-9a-f]{32}@[A-Za-z0-9.-]+)>\r\n", message)
    assert len(ids) == 1, message[:2000]
    return ids[0].decode()


def header_block(*, sender, to, date, subject, message_id, priority="Normal",
                 content_type="text/plain; charset=US-ASCII", x_mailer="qvSMTP by Quenvix",
                 body="", streamed=False):
    """The header lines and the blank line, as the server must store them: the
    nine lines, with a charset of UTF-8 instead of US-ASCII when any text is
    outside ASCII, and the 8bit line when body (from Body) is, or when the
    program streams it labelled UTF-8."""
    eight_bit = streamed or not body.isascii()
    if not all(v.isascii() for v in (priority, sender, to, x_mailer, subject)) or eight_bit:
        content_type = re.sub(r"(?i)(charset\s*=\s*\"?)us-ascii(?=$|[\s;\"])", r"\g<1>UTF-8",
                              content_type)
    headers = [("Priority", encoded_words("Priority", priority)), ("From", sender), ("To", to),
               ("Date", date), ("Message-ID", f"<{message_id}>"), ("MIME-Version", "1.0"), ("Content-type", content_type)]
    if eight_bit:
        headers.append(("Content-Transfer-Encoding", "8bit"))
    headers += [("X-Mailer", encoded_words("X-Mailer", x_mailer)),
                ("Subject", encoded_words("Subject", subject))]
    return "".join(f"{name}: {value}\r\n" for name, value in headers).encode() + b"\r\n"


def with_crlf(text):
    """Line ends as the control sends them: CR LF, bare CR and bare LF alike."""
    return re.sub(r"\r\n|\r|\n", "\r\n", text)


def from_the_program(body, mode):
    """The body as the program hands it to the control: from a file or
    standard input it drops one final line end, as mail programs do."""
    if mode != "option":
        for end in ("\r\n", "\n"):
            if body.endswith(end):
                return body[:-len(end)]
    return body


def stored_body(body, mode):
    """What the server stores of body: the control ends a Body with CR LF and
    then writes the end of data, which brings a CR LF of its own; a body
    streamed by the program gets no line end of its own."""
    body = from_the_program(body, mode)
    if mode == "stream":
        return (with_crlf(body) + "\r\n").encode()
    return (with_crlf(body) + "\r\n\r\n").encode() if body else b"\r\n"


def body_arguments(body, mode, folder):
    if mode == "option":
        return ["--body", body]
    path = os.path.join(folder, f"body-{secrets.token_hex(4)}.txt")
    with open(path, "wb") as f:
        f.write(body.encode())
    return ["--body-file", path] + (["--body-event", "1"] if mode == "stream" else [])


# SpamAssassin's engine as `spamassassin -L -t` runs it: local tests only (no
# DNS, no network lists), the rules Debian's package ships, Bayes off. Called
# directly because the command also tries a state folder in the login's home
# from the password file; here all state stays in HOME, a temporary folder.
SPAM_CHECK = r"""
use Mail::SpamAssassin;
my $sa = Mail::SpamAssassin->new({local_tests_only => 1, dont_copy_prefs => 1,
    home_dir_for_helpers => $ENV{HOME}, rules_filename => "/usr/share/spamassassin",
    post_config_text => "use_bayes 0\n"});
my $status = $sa->check($sa->parse(\*STDIN));
print $status->get_score, " ", $status->get_names_of_tests_hit, "\n";
"""


def spam_check(message, folder):
    """SpamAssassin's score of a message and the names of the rules it hits."""
    completed = subprocess.run(["/usr/bin/perl", "-e", SPAM_CHECK], input=message,
                               capture_output=True, timeout=30,
                               env=dict(os.environ, HOME=folder, TMPDIR=folder))
    if completed.returncode != 0:
        raise AssertionError(completed.stderr.decode("utf-8", "replace"))
    score, _, names = completed.stdout.decode().strip().partition(" ")
    return float(score), set(filter(None, names.split(",")))


class Case(unittest.TestCase):
    maxDiff = 4000

    def setUp(self):
        require_program()

    def assertSent(self, outcome):
        self.assertEqual((outcome.exit, outcome.json.get("status"), outcome.status_str),
                         (0, 0, "Success"), outcome)

    def assertOneMessage(self, aiosmtpd, sender):
        found = stored_messages(aiosmtpd, sender)
        self.assertEqual(len(found), 1, f"messages stored from {sender}")
        return found[0]


class AiosmtpdDelivery(Case):
    """Messages as aiosmtpd stores them, compared byte for byte."""

    def setUp(self):
        super().setUp()
        self.aiosmtpd = server("aiosmtpd")
        self.folder = tempfile.TemporaryDirectory(prefix="qv-integration-")
        self.addCleanup(self.folder.cleanup)

    def test_one_recipient(self):
        sender = unique_sender("one")
        outcome = send(self.aiosmtpd["port"], "--from", sender, "--to", "bob@example.test",
                       "--subject", "Lunch", "--body", "Noon?", "--date", "2001-03-09 07:05:03")
        self.assertSent(outcome)
        self.assertEqual(outcome.messages,
                         ["Connecting to 127.0.0.1", "Connected, waiting for HELO",
                          "Sending HELO", f"Sending FROM: {sender}",
                          "Sending RCPT: bob@example.test", "Sending DATA",
                          "Sending QUIT command."])
        envelope, message = self.assertOneMessage(self.aiosmtpd, sender)
        self.assertEqual(envelope["rcpt_tos"], ["bob@example.test"])
        self.assertEqual(envelope["helo"], expected_helo_name())
        self.assertEqual(message, header_block(
            message_id=message_id_of(message), sender=sender, to="bob@example.test", subject="Lunch",
            date="Fri, 9 Mar 2001 07:05:03 -0500") + b"Noon?\r\n\r\n")

    def test_three_recipients(self):
        # The To header keeps the list as given; the commands carry the
        # entries without their spaces.
        for to in ("ann@example.test, bea@example.test ,cid@example.test ",
                   "ann@example.test;bea@example.test; cid@example.test"):
            with self.subTest(to=to):
                sender = unique_sender("three")
                outcome = send(self.aiosmtpd["port"], "--from", sender, "--to", to,
                               "--subject", "Three", "--body", "Hi all",
                               "--date", "2020-02-29 23:59:59")
                self.assertSent(outcome)
                envelope, message = self.assertOneMessage(self.aiosmtpd, sender)
                self.assertEqual(envelope["rcpt_tos"],
                                 ["ann@example.test", "bea@example.test", "cid@example.test"])
                self.assertEqual(message, header_block(
                    message_id=message_id_of(message), sender=sender, to=to, subject="Three",
                    date="Sat, 29 Feb 2020 23:59:59 -0500") + b"Hi all\r\n\r\n")

    def test_refused_recipient_ends_the_send_with_the_servers_text(self):
        sender = unique_sender("refused")
        outcome = send(self.aiosmtpd["port"], "--from", sender, "--to",
                       "ann@example.test, refuse-me@example.test, cid@example.test",
                       "--subject", "x", "--body", "x")
        self.assertEqual(outcome.exit, 4, outcome)
        self.assertEqual(outcome.json["status"], 4)
        self.assertEqual(outcome.status_str,
                         "550 5.1.1 <refuse-me@example.test>: Recipient address rejected: "
                         "no such user\r\n")
        self.assertIn("status 4: 550 5.1.1 <refuse-me@example.test>", outcome.stderr)
        self.assertEqual(outcome.messages[-1], "Sending QUIT command.")
        self.assertNotIn("Sending DATA", outcome.messages)
        # The third entry is never offered, and nothing is delivered.
        self.assertEqual(offered_recipients(self.aiosmtpd, sender),
                         ["ann@example.test", "refuse-me@example.test"])
        self.assertEqual(stored_messages(self.aiosmtpd, sender), [])

    def test_headers(self):
        # (zone, --date, extra options, Priority, Subject as given, Subject as stored)
        table = [
            ("America/New_York", "2001-03-09 07:05:03", [], "Normal", "Lunch", "Lunch"),
            ("America/New_York", "2021-07-04 00:00:00", ["--priority", "Urgent"], "Urgent",
             "Summer", "Summer"),
            ("Asia/Kolkata", "1999-12-31 23:59:59", [], "Normal", "Gr\u00fc\u00dfe \U0001F600",
             "Gr\u00fc\u00dfe \U0001F600"),
            ("UTC", "2024-02-29 12:00:00", [], "Normal", "one\r\ntwo\nthree\rfour",
             "one two three four"),
            ("Pacific/Chatham", "2010-01-01 00:00:00", ["--priority", ""], "", "", ""),
        ]
        for zone, date, options, priority, subject, stored_subject in table:
            with self.subTest(zone=zone, date=date):
                sender = unique_sender("headers")
                outcome = send(self.aiosmtpd["port"], "--from", sender, "--to", "h@example.test",
                               "--subject", subject, "--date", date, "--body", "b", *options,
                               tz=zone)
                self.assertSent(outcome)
                _, message = self.assertOneMessage(self.aiosmtpd, sender)
                self.assertEqual(message, header_block(
                    message_id=message_id_of(message), sender=sender, to="h@example.test", subject=stored_subject,
                    priority=priority, date=date_value(date, zone)) + b"b\r\n\r\n")
                parsed = email.message_from_bytes(message, policy=email.policy.default)
                self.assertEqual(parsed["Subject"], stored_subject)

    def test_headers_restored_from_a_property_file(self):
        # Content-type and X-Mailer cannot be assigned while the program runs;
        # a property file is how a host gives them other values.
        sender = unique_sender("props")
        values = [
            ("Enabled", "Boolean", True), ("RemoteHost", "String", "127.0.0.1"),
            ("MailFrom", "String", sender), ("Body", "String", "restored body\n."),
            ("RemoteHostIP", "String", "0"), ("Subject", "String", "Restored \u00e9"),
            ("DateHeader", "Date", "2016-10-30 01:30:00"), ("RcptTo", "String", "r@example.test"),
            ("Status", "Integer", 0), ("Busy", "Boolean", False),
            ("XMailer", "String", "Mailer 2.0 \u2014 integration"), ("Priority", "String", "Low"),
            ("ContentType", "String", "text/plain; charset=UTF-8"),
            ("StatusStr", "String", ""), ("BodyEvent", "Integer", 0),
        ]
        path = os.path.join(self.folder.name, "control.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"format": "qvcontrols1-properties", "version": 1, "controls": {
                "qvSMTP1": [{"key": k, "type": t, "value": v} for k, t, v in values]}}, f)
        outcome = send(self.aiosmtpd["port"], "--props", path, tz="Europe/Berlin")
        self.assertSent(outcome)
        _, message = self.assertOneMessage(self.aiosmtpd, sender)
        self.assertEqual(message, header_block(
            message_id=message_id_of(message), sender=sender, to="r@example.test", subject="Restored \u00e9", priority="Low",
            date=date_value("2016-10-30 01:30:00", "Europe/Berlin"),
            content_type="text/plain; charset=UTF-8", x_mailer="Mailer 2.0 \u2014 integration")
            + b"restored body\r\n.\r\n\r\n")
        parsed = email.message_from_bytes(message, policy=email.policy.default)
        self.assertEqual(parsed["X-Mailer"], "Mailer 2.0 \u2014 integration")

    def test_date_of_now_carries_the_zone_of_the_host(self):
        for zone in ("America/New_York", "Asia/Kathmandu"):
            with self.subTest(zone=zone):
                sender = unique_sender("now")
                before = datetime.now(timezone.utc)
                self.assertSent(send(self.aiosmtpd["port"], "--from", sender, "--to",
                                     "n@example.test", "--body", "b", tz=zone))
                after = datetime.now(timezone.utc)
                _, message = self.assertOneMessage(self.aiosmtpd, sender)
                date = re.search(rb"\r\nDate: ([^\r\n]*)\r\n", message).group(1).decode()
                sent = parsedate_to_datetime(date)
                self.assertEqual(sent.utcoffset(), ZoneInfo(zone).utcoffset(
                    sent.replace(tzinfo=None)), date)
                # The header holds whole seconds, rounded.
                self.assertLessEqual(before - timedelta(seconds=1), sent, date)
                self.assertLessEqual(sent, after + timedelta(seconds=1), date)

    @unittest.skipUnless(shutil.which("spamassassin"),
                         "spamassassin is not installed (Debian package spamassassin)")
    def test_spamassassin_scores(self):
        # The Message-ID line spares a message MISSING_MID, and text outside
        # ASCII, as the control encodes it, costs no points of its own.
        table = [("ASCII", "Lunch on Friday", "Noon at the usual place?\nAnn"),
                 ("non-ASCII", "Gr\u00fc\u00dfe aus Z\u00fcrich \u65e5\u672c",
                  "Mittag am \u00fcblichen Ort?\n\u65e5\u672c\u8a9e \U0001F600\n\u00c4nne")]
        scores = {}
        for name, subject, body in table:
            with self.subTest(message=name):
                sender = unique_sender("spam")
                self.assertSent(send(self.aiosmtpd["port"], "--from", sender, "--to",
                                     "bob@example.test", "--subject", subject, "--body", body))
                _, message = self.assertOneMessage(self.aiosmtpd, sender)
                scores[name], rules = spam_check(message, self.folder.name)
                print(f"{name}: score {scores[name]}, rules {sorted(rules)}", file=sys.stderr)
                self.assertNotIn("MISSING_MID", rules)
        self.assertLessEqual(scores["non-ASCII"], scores["ASCII"])

    def test_body_arrives_intact(self):
        bodies = {
            "dots": ".\n.x\n..y\nx.\n. \n.\r\n.",
            "end of data inside": "before\r\n.\r\nafter\r\n.\r\n",
            "bare line ends": "one\ntwo\n\nthree\rfour\r\rfive\r\r\nsix\n",
            "dot after a bare CR": "a\r.b\r..c",
            "non-ASCII": "Gr\u00fc\u00dfe aus Z\u00fcrich\n\u65e5\u672c\u8a9e\n"
                         "\U0001F600 \U0001D11E\n.\u00e9t\u00e9",
            "long line": "x" * 990 + "\n." + "y" * 900,
            "empty": "",
        }
        jobs = []
        for name, body in bodies.items():
            for mode in ("option", "file", "stream"):
                if name == "empty" and mode == "option":
                    continue  # the option needs text
                jobs.append((name, mode, body, unique_sender("body")))

        def run(job):
            name, mode, body, sender = job
            return send(self.aiosmtpd["port"], "--from", sender, "--to", "b@example.test",
                        "--subject", name, "--date", "2001-03-09 07:05:03",
                        *body_arguments(body, mode, self.folder.name))

        # Each send waits on the control's ticks; several at once keep this short.
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            outcomes = list(pool.map(run, jobs))
        for (name, mode, body, sender), outcome in zip(jobs, outcomes):
            with self.subTest(body=name, mode=mode):
                self.assertSent(outcome)
                _, message = self.assertOneMessage(self.aiosmtpd, sender)
                head = header_block(message_id=message_id_of(message), sender=sender, to="b@example.test", subject=name,
                                    date="Fri, 9 Mar 2001 07:05:03 -0500",
                                    body="" if mode == "stream" else from_the_program(body, mode),
                                    **({"content_type": STREAMED_CONTENT_TYPE, "streamed": True}
                                       if mode == "stream" else {}))
                self.assertEqual(message[:len(head)], head)
                self.assertEqual(message[len(head):], stored_body(body, mode))


def large_body(size):
    """About size bytes of UTF-8 text in lines of up to 900 bytes: ASCII and
    other letters, lines that begin with dots, empty lines, LF line ends."""
    rng = random.Random(20)
    alphabet = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 .,;:-"
    other = "\u00e4\u00f6\u00fc\u00df\u00e9\u65e5\u672c\U0001F600"
    lines = []
    for i in range(4000):
        length = rng.choice([0, 1, 2, 40, 76, 200, 500, 800])
        text = "".join(rng.choice(alphabet) for _ in range(length))
        if i % 7 == 0:
            text = "." * rng.randint(1, 3) + text
        if i % 11 == 0:
            text += rng.choice(other) * rng.randint(1, 20)
        lines.append(text)
    out = []
    total = 0
    while total < size:
        line = rng.choice(lines) + "\n"
        out.append(line)
        total += len(line.encode())
    return "".join(out)


class LargeBody(Case):
    """A 20 MB body, written whole by the control or streamed by the program."""

    SIZE = 20 * 1000 * 1000

    def test_20_mb_body_arrives_intact(self):
        aiosmtpd = server("aiosmtpd")
        body = large_body(self.SIZE)
        with tempfile.TemporaryDirectory(prefix="qv-integration-") as folder:
            path = os.path.join(folder, "body.txt")
            with open(path, "wb") as f:
                f.write(body.encode())
            for mode, options in (("file", []), ("stream", ["--body-event", "7"])):
                with self.subTest(mode=mode):
                    sender = unique_sender("large")
                    outcome = send(aiosmtpd["port"], "--from", sender, "--to", "big@example.test",
                                   "--subject", "Large", "--date", "2001-03-09 07:05:03",
                                   "--body-file", path, *options)
                    self.assertSent(outcome)
                    _, message = self.assertOneMessage(aiosmtpd, sender)
                    head = header_block(message_id=message_id_of(message), sender=sender, to="big@example.test", subject="Large",
                                        date="Fri, 9 Mar 2001 07:05:03 -0500",
                                        body="" if mode == "stream" else body,
                                        **({"content_type": STREAMED_CONTENT_TYPE, "streamed": True}
                                           if mode == "stream" else {}))
                    self.assertEqual(message[:len(head)], head)
                    expected = stored_body(body, mode)
                    received = message[len(head):]
                    self.assertEqual(len(received), len(expected))
                    self.assertEqual(hashlib.sha256(received).hexdigest(),
                                     hashlib.sha256(expected).hexdigest())
                    print(f"{mode}: {len(received)} bytes in {outcome.wall:.1f} s",
                          file=sys.stderr)


class SmtpSinkRefusal(Case):
    """smtp-sink answers every RCPT with a chosen 550."""

    def test_550_to_a_recipient(self):
        sink = server("smtp-sink-refusing")
        outcome = send(sink["port"], "--from", "a@example.test", "--to",
                       "first@example.test, second@example.test", "--body", "x")
        self.assertEqual(outcome.exit, 4, outcome)
        self.assertEqual(outcome.status_str,
                         "550 5.1.1 Recipient address rejected: User unknown\r\n")
        self.assertEqual(outcome.messages[-2:],
                         ["Sending RCPT: first@example.test", "Sending QUIT command."])


class SmtpSinkSlow(Case):
    """smtp-sink that takes its time over HELO and DATA, within the limits."""

    def test_slow_answers_still_succeed(self):
        sink = server("smtp-sink-slow")
        outcome = send(sink["port"], "--from", "a@example.test", "--to", "s@example.test",
                       "--body", "slow")
        self.assertSent(outcome)
        # One second for HELO and two for DATA: the wait is the server's.
        self.assertGreaterEqual(outcome.json["elapsedMs"], 3000, outcome)


class SmtpSinkLoad(Case):
    """Many programs at once against one smtp-sink."""

    def test_parallel_sends(self):
        sink = server("smtp-sink")
        count = 24

        def run(i):
            return send(sink["port"], "--from", f"load{i}@example.test", "--to",
                        "a@example.test, b@example.test, c@example.test",
                        "--body", f"message {i}\n" * 200)

        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            outcomes = list(pool.map(run, range(count)))
        for i, outcome in enumerate(outcomes):
            with self.subTest(i=i):
                self.assertSent(outcome)


class NoServer(Case):
    """Nothing listens on the port."""

    def test_refused_connection_is_a_socket_error(self):
        # A bound socket that does not listen keeps the port ours and refuses.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", 0))
            port = holder.getsockname()[1]
            outcome = send(port, "--from", "a@example.test", "--to", "b@example.test",
                           "--body", "x")
        self.assertEqual(outcome.exit, 2, outcome)
        self.assertEqual(outcome.status_str, "Connection refused")
        self.assertEqual(outcome.messages, ["Connecting to 127.0.0.1"])
        self.assertIn("status 2: Connection refused", outcome.stderr)


def postfix_server():
    """The private Postfix instance, or SkipTest when it cannot run here."""
    state = server("postfix")
    if "unavailable" in state:
        raise unittest.SkipTest(state["unavailable"])
    return state


def delivered(postfix, user, sender, wait=15.0):
    """The parsed messages from sender in user's Maildir. Delivery follows the
    250 a moment later, so this waits for one to appear."""
    from email import message_from_bytes, policy
    folder = os.path.join(postfix["mail"], user, "new")
    deadline = time.monotonic() + wait
    while True:
        found = []
        for path in sorted(glob.glob(os.path.join(folder, "*"))):
            with open(path, "rb") as f:
                message = message_from_bytes(f.read(), policy=policy.default)
            if message["Return-Path"] == f"<{sender}>":
                found.append(message)
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


class PostfixDelivery(Case):
    """A private Postfix smtpd with a careful admin's settings: what it takes
    is delivered to Maildirs and read back with Python's email package; what
    it refuses shows its own reply. Its listeners that demand TLS take the
    program's STARTTLS and TLS from the first byte."""

    SIZE_LIMIT_BODY = "x" * 70 + "\n"

    def test_cases(self):
        postfix = postfix_server()
        big = self.SIZE_LIMIT_BODY * (postfix["size_limit"] // len(self.SIZE_LIMIT_BODY) + 100)
        # (name, port key, sender tag, recipients, subject, body, exit,
        #  what the failure line or reply must hold)
        table = [
            ("plain", "port", "plain", ["ann"], "Lunch", "Noon?", 0, None),
            ("three recipients", "port", "three", ["ann", "bea", "cid"], "Three", "Hi all", 0,
             None),
            ("dot lines", "port", "dots", ["bob"], "Dots", ".\n.x\n..y\nx.\n. \n.", 0, None),
            ("bare CR and LF", "port", "bare", ["bob"], "Bare",
             "one\ntwo\n\nthree\rfour\r\rfive\r\r\nsix", 0, None),
            ("non-ASCII", "port", "utf8", ["bob"], "Gr\u00fc\u00dfe \u65e5\u672c",
             "Gr\u00fc\u00dfe aus Z\u00fcrich\n\u65e5\u672c\u8a9e \U0001F600", 0, None),
            ("non-ASCII, strict_8bitmime", "port_8bitmime", "utf8strict", ["bob"],
             "Gr\u00fc\u00dfe \u65e5\u672c", "Gr\u00fc\u00dfe aus Z\u00fcrich\n\u00e9t\u00e9",
             0, None),
            ("refused recipient", "port", "rcpt", ["ann", "nobody-here"], "x", "x", 4,
             "550 5.1.1 <nobody-here@qvsmtp.test>: Recipient address rejected: "
             "User unknown in local recipient table"),
            ("refused sender", "port", None, ["ann"], "x", "x", 3,
             f"554 5.7.1 <{postfix['refused_sender']}>: Sender address rejected: "
             "Access denied"),
            ("over the size limit", "port", "size", ["ann"], "Big", big, 3,
             "552 5.3.4 Error: message file too big"),
            # Listeners that take mail only over TLS.
            ("STARTTLS", "port_starttls", "starttls", ["ann"], "Sealed", "By STARTTLS", 0, None),
            ("implicit TLS", "port_tls", "implicit", ["bob"], "Sealed", "From the first byte", 0,
             None),
        ]
        tls_options = {"STARTTLS": ("--tls", "starttls", "--ca-file", postfix["ca_file"]),
                       "implicit TLS": ("--tls", "implicit", "--ca-file", postfix["ca_file"])}
        jobs = []
        for name, port_key, tag, users, subject, body, code, shown in table:
            sender = unique_sender(tag) if tag else postfix["refused_sender"]
            jobs.append((name, postfix[port_key], sender, users, subject, body, code, shown))

        def run(job):
            name, port, sender, users, subject, body, _, _ = job
            to = ", ".join(f"{user}@qvsmtp.test" for user in users)
            options = ("--from", sender, "--to", to, "--subject", subject,
                       *tls_options.get(name, ()))
            # The large body comes through standard input, as from a pipe.
            if body is big:
                return send(port, *options, stdin=body.encode())
            return send(port, *options, "--body", body)

        # The refusals wait out the control's 10 s limits: all at once.
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(jobs)) as pool:
            outcomes = list(pool.map(run, jobs))
        for (name, _, sender, users, subject, body, code, shown), outcome in zip(jobs, outcomes):
            with self.subTest(case=name):
                self.assertEqual(outcome.exit, code, outcome)
                if code == 0:
                    self.assertSent(outcome)
                    for user in users:
                        found = delivered(postfix, user, sender)
                        self.assertEqual(len(found), 1, f"{user}: {outcome}")
                        message = found[0]
                        self.assertEqual(message["Subject"], subject)
                        expected = re.sub(r"\r\n|\r|\n", "\n", body) + "\n\n"
                        self.assertEqual(message.get_content(), expected)
                        if name in tls_options:
                            # Postfix's own line: "(using TLSv1.3 with cipher ...".
                            version, cipher = outcome.json["tls"].split()
                            self.assertIn(f"(using {version} with cipher {cipher} ",
                                          message["Received"])
                elif code == 4:
                    self.assertEqual(outcome.status_str, shown + "\r\n")
                    self.assertIn(f"status 4: {shown}", outcome.stderr)
                    for user in users:
                        self.assertEqual(delivered(postfix, user, sender, wait=1.0), [])
                else:
                    self.assertTrue(outcome.json["lastReply"].startswith(shown), outcome)
                    self.assertIn(f"(server said: {shown}", outcome.stderr)
                    self.assertIn(f"[127.0.0.1 port ", outcome.stderr)
                    for user in users:
                        self.assertEqual(delivered(postfix, user, sender, wait=1.0), [])


class ThrottlingRelay:
    """A loopback proxy to 127.0.0.1:upstream that forwards what the client
    sends at about rate bytes a second, through small socket buffers on its
    side, as a slow link would; replies go back at once."""

    CHUNK = 4096
    BUFFER = 16 * 1024

    def __init__(self, upstream, rate=256 * 1024):
        self.upstream = upstream
        self.rate = rate
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Set before listen so that accepted sockets advertise a small window.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.BUFFER)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                client, _ = self.listener.accept()
                server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                server.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, self.BUFFER)
                server.connect(("127.0.0.1", self.upstream))
                threading.Thread(target=self._forward, args=(client, server, self.rate),
                                 daemon=True).start()
                threading.Thread(target=self._forward, args=(server, client, None),
                                 daemon=True).start()
        except OSError:
            pass  # closed

    def _forward(self, source, target, rate):
        started = time.monotonic()
        moved = 0
        try:
            while piece := source.recv(self.CHUNK):
                if rate:
                    moved += len(piece)
                    ahead = started + moved / rate - time.monotonic()
                    if ahead > 0:
                        time.sleep(ahead)
                target.sendall(piece)
            target.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def close(self):
        self.listener.close()


class SlowLink(Case):
    """A 5 MB message through a 256 KiB/s link takes about 20 s to leave: the
    wait for the server's answer must count from when it has left."""

    SIZE = 5 * 1000 * 1000

    def test_5_mb_over_a_slow_link_is_delivered_once(self):
        aiosmtpd = server("aiosmtpd")
        relay = ThrottlingRelay(aiosmtpd["port"])
        self.addCleanup(relay.close)
        body = large_body(self.SIZE)
        with tempfile.TemporaryDirectory(prefix="qv-integration-") as folder:
            path = os.path.join(folder, "body.txt")
            with open(path, "wb") as f:
                f.write(body.encode())
            modes = (("file", []), ("stream", ["--body-event", "1"]))

            def run(mode):
                sender = unique_sender("slow-" + mode[0])
                return sender, send(relay.port, "--from", sender, "--to", "slow@example.test",
                                    "--subject", "Slow", "--body-file", path, *mode[1])

            with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
                results = list(pool.map(run, modes))
        for (mode, _), (sender, outcome) in zip(modes, results):
            with self.subTest(mode=mode):
                self.assertSent(outcome)
                _, message = self.assertOneMessage(aiosmtpd, sender)
                self.assertGreater(len(message), self.SIZE)
                print(f"{mode}: {len(message)} bytes in {outcome.wall:.1f} s", file=sys.stderr)


class SilentServer:
    """Accepts connections on 127.0.0.1 and never says a word."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.connections = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            while True:
                connection, _ = self.listener.accept()
                self.connections.append(connection)
                threading.Thread(target=self._read, args=(connection,), daemon=True).start()
        except OSError:
            pass  # closed

    def _read(self, connection):
        try:
            while piece := connection.recv(4096):
                self.received += piece
        except OSError:
            pass

    def close(self):
        self.listener.close()
        for connection in self.connections:
            connection.close()


@unittest.skipUnless(os.environ.get("QV_LONG_TESTS") == "1", "set QV_LONG_TESTS=1 (over a minute)")
class NeverGreets(Case):
    """A server that accepts the connection and never greets."""

    def test_greeting_wait_times_out(self):
        silent = SilentServer()
        try:
            outcome = send(silent.port, "--from", "a@example.test", "--to", "b@example.test",
                           "--body", "x")
        finally:
            silent.close()
        self.assertEqual(outcome.exit, 3, outcome)
        self.assertEqual(outcome.status_str, "Timeout waiting for remote hello.")
        self.assertEqual(outcome.messages, ["Connecting to 127.0.0.1",
                                            "Connected, waiting for HELO",
                                            "Timeout waiting for remote hello."])
        # 60 s from a start time rounded to the second, tested on 50 ms ticks.
        self.assertGreaterEqual(outcome.json["elapsedMs"], 59400, outcome)
        self.assertLess(outcome.json["elapsedMs"], 63000, outcome)
        self.assertEqual(silent.received, b"")
        print(f"ended after {outcome.json['elapsedMs']} ms", file=sys.stderr)


@unittest.skipUnless(os.environ.get("QV_LONG_TESTS") == "1", "set QV_LONG_TESTS=1 (over a minute)")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"),
                     "needs root and unshare for a private /etc/resolv.conf")
class SlowNameServer(Case):
    """A name server that never answers: the connection wait ends the send at
    60 s, and the program ends then too, not when the lookup gives up."""

    def test_exit_follows_the_outcome(self):
        blackhole = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        blackhole.bind(("127.0.0.9", 53))  # takes the queries, answers none
        self.addCleanup(blackhole.close)
        with tempfile.TemporaryDirectory(prefix="qv-integration-") as folder:
            resolv = os.path.join(folder, "resolv.conf")
            with open(resolv, "w", encoding="ascii") as f:
                # The lookup takes minutes: 5 tries of 30 s, unanswered.
                f.write("nameserver 127.0.0.9\noptions timeout:30 attempts:5\n")
            command = ["unshare", "-m", "sh", "-c",
                       'mount --bind "$1" /etc/resolv.conf && shift && exec "$@"', "sh", resolv,
                       QVSMTP, "send", "--server", "slow.example.net", "--from",
                       "a@example.test", "--to", "b@example.test", "--body", "x", "--json"]
            started = time.monotonic()
            completed = subprocess.run(command, capture_output=True, timeout=110)
            outcome = Outcome(completed, time.monotonic() - started)
        self.assertEqual(outcome.exit, 3, outcome)
        self.assertEqual(outcome.status_str, "Timeout waiting for connect.")
        self.assertLess(outcome.wall, 65, outcome)


def main():
    program = unittest.main(exit=False)
    result = program.result
    if not result.wasSuccessful():
        return 1
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
