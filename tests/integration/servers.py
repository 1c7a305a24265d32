#!/usr/bin/python3
"""Starts and stops the SMTP servers that the integration tests send through.

  servers.py start NAME STATE_DIR aiosmtpd
  servers.py start NAME STATE_DIR smtp-sink [-- SMTP-SINK OPTIONS...]
  servers.py start NAME STATE_DIR postfix
  servers.py start NAME STATE_DIR aiosmtpd-oauth
  servers.py stop NAME STATE_DIR

start launches the server in the background on a free port of 127.0.0.1,
waits until it greets, and writes STATE_DIR/NAME.json (port, process, spool).
stop ends it and removes what start wrote. Each server runs under a small
supervisor that also ends it once the process that ran start (the test
runner) is gone, or after an hour, so that no server outlives a test run
that died before it could run stop.

postfix is a private instance of the Postfix mail system (it needs root,
Debian's postfix package, the openssl command and Cyrus SASL's saslpasswd2;
otherwise the state file says why it is unavailable and its tests skip):
configuration, queue, a test CA with its certificates, a SASL user database
and Maildirs under a short folder of its own in /tmp, smtpd listeners on free
ports of 127.0.0.1 with the settings of a careful admin, some of them with TLS
and some with authentication. A watcher of its own stops the instance when
the test runner is gone.

aiosmtpd-oauth is store_server.py with STARTTLS required and authentication
by OAuth 2.0 bearer token only (XOAUTH2 and OAUTHBEARER), with a certificate
from a test CA of its own.

The state file (STATE_DIR/NAME.json, one JSON object) is what tests read;
every server's holds "name", "kind", "port" and "log", or only "name",
"kind" and "unavailable" (why it cannot run here: skip). aiosmtpd's adds
"spool"; smtp-sink's "command"; aiosmtpd-oauth's "spool", "ca_file" (its
CA), "oauth_user" and "oauth_token" (the one token it takes, for that user).
postfix's adds (ports on 127.0.0.1; every listener greets with
"220 mx.qvsmtp.test ESMTP " and the instance's tag):
  port                 plain text, no STARTTLS offered (TLS is off here)
  port_8bitmime        plain text, also strict_8bitmime
  port_starttls        STARTTLS offered and required before MAIL
  port_tls             TLS from the first byte
  port_starttls_wrong_name  STARTTLS required; its certificate names only
                       "wrong_name", not localhost nor 127.0.0.1
  port_tls_expired     TLS from the first byte; its certificate (names
                       localhost and 127.0.0.1, from the test CA) expired
                       yesterday
  port_submission      STARTTLS required, then AUTH PLAIN or LOGIN; mail is
                       taken only from a client that authenticated; UTF-8
                       headers are taken with SMTPUTF8
  port_submissions     the same with TLS from the first byte
  port_auth_in_clear   offers AUTH without TLS (what a careless admin
                       does), and logs as postfix/auth-in-clear
  sasl_user, sasl_password  the one login the AUTH listeners take
  ca_file              PEM of the test CA that issued every certificate here;
                       no system trust store knows it
  certificate_names    the names the good certificate holds
  wrong_name           the one name the wrong-name certificate holds
  mail                 the Maildirs' folder: mail/USER/new/ holds what
                       USER@qvsmtp.test was delivered (users: ann bea cid bob)
  utf8_recipient, utf8_maildir  an address with a local part in UTF-8 and
                       the Maildir that receives its mail
  size_limit           message_size_limit in bytes, on every listener
  refused_sender       an envelope sender refused at MAIL FROM
  folder, etc          the instance's folder and configuration folder
  watcher              the process that stops the instance if the runner dies
"""

import argparse
import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
START_LIMIT = 60.0  # seconds; a loaded machine can be slow to start Python
MAX_LIFETIME = 3600.0


def alive(pid):
    """True while pid is a running process (a zombie counts as ended)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state != "Z"
    except (OSError, IndexError):
        return True


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def greeting(port, timeout=5.0, tls=None):
    """The first line the server on port sends, or None. tls: an SSLContext
    for a server that speaks TLS from the first byte."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as plain, \
                tls.wrap_socket(plain) if tls is not None else plain as s:
            data = b""
            while b"\r\n" not in data and len(data) < 4096:
                piece = s.recv(4096)
                if not piece:
                    break
                data += piece
            try:
                s.sendall(b"QUIT\r\n")
            except OSError:
                pass
            return data.split(b"\r\n", 1)[0] if b"\r\n" in data else None
    except OSError:
        return None


def state_path(state_dir, name):
    return os.path.join(state_dir, name + ".json")


def log_tail(path, lines=20):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def launch(name, state_dir, command):
    """Starts command under the supervisor, in a session of its own."""
    log = os.path.join(state_dir, name + ".log")
    with open(log, "ab") as out:
        supervisor = subprocess.Popen(
            [sys.executable, "-B", os.path.abspath(__file__), "supervise",
             "--watch-pid", str(os.getppid()), "--max-seconds", str(MAX_LIFETIME), "--", *command],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            start_new_session=True, close_fds=True)
    return supervisor, log


def wait_for_greeting(supervisor, port_of, expected):
    """Polls until the server greets with a line that begins with expected.
    port_of() gives the port, or None while it is not known yet. Returns the
    port, or None when the server ended or did not greet in time."""
    deadline = time.monotonic() + START_LIMIT
    while time.monotonic() < deadline:
        if supervisor.poll() is not None:
            return None
        port = port_of()
        if port is not None:
            line = greeting(port)
            if line is not None and line.startswith(expected):
                return port
        time.sleep(0.1)
    return None


def is_supervisor(pid):
    """True if pid is one of our supervisors (a recorded pid may have been
    reused since a run that died)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            arguments = f.read().split(b"\0")
    except OSError:
        return False
    return any(a.endswith(b"servers.py") for a in arguments) and b"supervise" in arguments


def stop_process_group(pid, pgid):
    """SIGTERM to the supervisor (which ends its server), SIGKILL to the
    whole group if anything is still there after a while."""
    if not is_supervisor(pid):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + 15.0
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


OAUTH_USER = "sender@aiosmtpd.test"


def start_aiosmtpd(name, state_dir, oauth=False):
    """oauth: STARTTLS and AUTH by bearer token required (store_server.py
    --oauth), with a certificate from a test CA of its own."""
    import importlib.util
    if importlib.util.find_spec("aiosmtpd") is None:
        sys.exit(f"aiosmtpd is not installed for {sys.executable}: install the Debian "
                 "package python3-aiosmtpd (scripts/test.sh does)")
    spool = os.path.join(state_dir, name + "-spool")
    shutil.rmtree(spool, ignore_errors=True)
    os.makedirs(spool)
    options, state = [], {}
    if oauth:
        if shutil.which("openssl") is None:
            return {"unavailable": "the openssl command is not installed (Debian package openssl)"}
        # The spool is removed at stop, and the certificates with it.
        tls = os.path.join(spool, "tls")
        try:
            make_test_certificates(tls)
        except RuntimeError as error:
            sys.exit(str(error))
        # About as long as the tokens real providers issue: the AUTH line is
        # longer than any other command.
        token = secrets.token_urlsafe(600)
        settings = os.path.join(tls, "oauth.json")
        with open(os.open(settings, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w",
                  encoding="utf-8") as f:
            json.dump({"user": OAUTH_USER, "token": token}, f)
        options = ["--oauth", settings, "--tls-dir", tls]
        state = {"ca_file": os.path.join(tls, "ca.pem"), "oauth_user": OAUTH_USER,
                 "oauth_token": token}
    port_file = os.path.join(state_dir, name + ".port")
    if os.path.exists(port_file):
        os.remove(port_file)

    def port_of():
        try:
            with open(port_file, encoding="ascii") as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    supervisor, log = launch(name, state_dir, [
        sys.executable, "-B", os.path.join(HERE, "store_server.py"),
        "--spool", spool, "--port-file", port_file, *options])
    port = wait_for_greeting(supervisor, port_of, b"220 aiosmtpd.test")
    if port is None:
        stop_process_group(supervisor.pid, supervisor.pid)
        sys.exit(f"aiosmtpd did not start; its log:\n{log_tail(log)}")
    state.update({"port": port, "pid": supervisor.pid, "spool": spool, "log": log})
    return state


def find_smtp_sink():
    return shutil.which("smtp-sink", path=os.environ.get("PATH", "") + ":/usr/sbin:/usr/bin")


def start_smtp_sink(name, state_dir, options):
    program = find_smtp_sink()
    if program is None:
        sys.exit("smtp-sink is not installed: install the Debian package postfix "
                 "(scripts/test.sh does; the mail system itself need not run)")
    # smtp-sink refuses to keep root's privileges.
    user = ["-u", "nobody"] if os.geteuid() == 0 else []
    # Another process may take the free port before smtp-sink binds it: then
    # smtp-sink ends, and another port is tried.
    for _ in range(5):
        port = free_port()
        # A name of its own in the greeting tells this server from anything
        # else that might answer on the port.
        host_name = f"sink-{secrets.token_hex(4)}.test"
        command = [program, *user, "-h", host_name, *options, f"127.0.0.1:{port}", "256"]
        supervisor, log = launch(name, state_dir, command)
        if wait_for_greeting(supervisor, lambda: port, b"220 " + host_name.encode()) is not None:
            return {"port": port, "pid": supervisor.pid, "log": log, "command": command}
        stop_process_group(supervisor.pid, supervisor.pid)
    sys.exit(f"smtp-sink did not start; its log:\n{log_tail(log)}")


# A careful admin's smtpd: names must be real, envelopes strict, no bare
# line ends, no pipelining before the greeting is answered, 8-bit headers
# refused, a size limit. Refusals come at the command they concern.
POSTFIX_MAIN_CF = """\
compatibility_level = 3.6
config_directory = {etc}
queue_directory = {queue}
data_directory = {data}
mail_owner = postfix
setgid_group = postdrop
maillog_file = {folder}/maillog
maillog_file_prefixes = {folder}
myhostname = mx.qvsmtp.test
mydomain = qvsmtp.test
myorigin = qvsmtp.test
mydestination = qvsmtp.test
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtp_dns_support_level = disabled
smtpd_peername_lookup = no
alias_maps = hash:{etc}/aliases
alias_database = hash:{etc}/aliases
local_recipient_maps = $alias_maps
biff = no
smtpd_banner = $myhostname ESMTP {tag}
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname
smtpd_delay_reject = no
smtpd_sender_restrictions = check_sender_access hash:{etc}/senders
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
strict_rfc821_envelopes = yes
smtpd_forbid_bare_newline = yes
smtpd_forbid_bare_newline_exclusions =
smtpd_data_restrictions = reject_unauth_pipelining
strict_7bit_headers = yes
message_size_limit = {size_limit}
# The test CA's certificate for localhost and 127.0.0.1, used by the
# listeners that turn TLS on; here TLS stays off, so the plain listeners
# never offer STARTTLS. The Received: line says which TLS was used.
smtpd_tls_cert_file = {tls}/server.pem
smtpd_tls_key_file = {tls}/server.key
smtpd_tls_security_level = none
smtpd_tls_received_header = yes
smtpd_tls_loglevel = 1
# Addresses in UTF-8 when the client asks for SMTPUTF8 (the default at this
# compatibility level, said here because the tests count on it).
smtputf8_enable = yes
# Cyrus SASL, on the listeners that turn AUTH on: Debian's smtpd reads its
# settings from {etc}/sasl/smtpd.conf, and a login without a realm is in
# this one.
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = qvsmtp.test
"""

# Users and passwords come from the instance's own sasldb only.
POSTFIX_SASL_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: {sasldb}
"""

POSTFIX_SERVICES = """\
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
proxywrite unix - - n - 1 proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
local unix - n n - - local
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
tlsmgr unix - - n 1000? 1 tlsmgr
"""

POSTFIX_SIZE_LIMIT = 200000
POSTFIX_USERS = ("ann", "bea", "cid", "bob")
# A local part in UTF-8, and the Maildir its mail goes to.
POSTFIX_UTF8_USER = ("z\u00f6e", "zoe")
POSTFIX_REFUSED_SENDER = "refused@qvsmtp.test"
POSTFIX_CERTIFICATE_NAMES = ("localhost", "127.0.0.1")
POSTFIX_WRONG_NAME = "mx.elsewhere.test"
# The one SASL user; the password is made anew at every start.
POSTFIX_SASL_USER = "sender@qvsmtp.test"

# Just enough of a CA for openssl ca, which takes a start and an end date
# (OpenSSL 3.0's x509 only counts days from now):
# the expired certificate was valid once, in the past.
TEST_CA_CONF = """\
[ca]
default_ca = test_ca
[test_ca]
database = {tls}/index.txt
new_certs_dir = {tls}/issued
serial = {tls}/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
"""


def openssl(tls, *arguments):
    done = subprocess.run(["openssl", *arguments], cwd=tls, capture_output=True, text=True,
                          timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"openssl {arguments[0]} failed:\n{done.stderr}")


def make_test_certificates(tls):
    """A throwaway CA (tls/ca.pem) and, for one server key (tls/server.key),
    three certificates it issued, each naming in its subject and its
    subjectAltName only what it is said to: server.pem for localhost and
    127.0.0.1, valid for two days; expired.pem for the same names, valid two
    days ago until yesterday; wrong-name.pem for POSTFIX_WRONG_NAME only.
    Raises RuntimeError with openssl's complaint."""
    os.makedirs(os.path.join(tls, "issued"))
    with open(os.path.join(tls, "ca.cnf"), "w", encoding="ascii") as f:
        f.write(TEST_CA_CONF.format(tls=tls))
    open(os.path.join(tls, "index.txt"), "w", encoding="ascii").close()
    with open(os.path.join(tls, "serial"), "w", encoding="ascii") as f:
        f.write("1000\n")
    openssl(tls, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-days", "2", "-subj", "/CN=qvSMTP test CA")
    openssl(tls, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
            "-out", "server.csr", "-subj", "/CN=localhost")

    def issue(out, names, start, end):
        ext = out + ".ext"
        with open(os.path.join(tls, ext), "w", encoding="ascii") as f:
            f.write("subjectAltName=" + ",".join(
                ("IP:" if name[0].isdigit() else "DNS:") + name for name in names) + "\n")
        openssl(tls, "ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", "ca.pem",
                "-keyfile", "ca.key", "-in", "server.csr", "-out", out, "-extfile", ext,
                "-subj", f"/CN={names[0]}",
                "-startdate", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(start)),
                "-enddate", time.strftime("%Y%m%d%H%M%SZ", time.gmtime(end)))

    now = time.time()
    day = 86400
    issue("server.pem", POSTFIX_CERTIFICATE_NAMES, now - 600, now + 2 * day)
    issue("expired.pem", POSTFIX_CERTIFICATE_NAMES, now - 2 * day, now - day)
    issue("wrong-name.pem", (POSTFIX_WRONG_NAME,), now - 600, now + 2 * day)
    # smtpd reads its key as root before it drops privileges; no one else may.
    os.chmod(os.path.join(tls, "server.key"), 0o600)
    os.chmod(os.path.join(tls, "ca.key"), 0o600)


def make_sasl_user(etc, sasl, postfix_user):
    """Writes etc/sasl/smtpd.conf and sasl/sasldb2 that holds
    POSTFIX_SASL_USER with a new password, which it returns. The database is
    outside etc, where postfix wants every file to be root's."""
    os.makedirs(os.path.join(etc, "sasl"))
    sasldb = os.path.join(sasl, "sasldb2")
    with open(os.path.join(etc, "sasl", "smtpd.conf"), "w", encoding="ascii") as f:
        f.write(POSTFIX_SASL_CONF.format(sasldb=sasldb))
    password = secrets.token_urlsafe(12)
    user, realm = POSTFIX_SASL_USER.split("@")
    # Through standard input: the password is never on a command line.
    subprocess.run(["/usr/sbin/saslpasswd2", "-p", "-c", "-f", sasldb, "-u", realm, user],
                   input=password + "\n", text=True, check=True, timeout=60)
    os.chown(sasldb, postfix_user.pw_uid, postfix_user.pw_gid)
    os.chmod(sasldb, 0o640)
    return password


def postfix_run(etc, *arguments):
    return subprocess.run(["/usr/sbin/postfix", "-c", etc, *arguments], capture_output=True,
                          text=True, timeout=120)


def start_postfix(name, state_dir):
    if not os.path.exists("/usr/sbin/postfix"):
        return {"unavailable": "postfix is not installed (Debian package postfix)"}
    if os.geteuid() != 0:
        return {"unavailable": "a private Postfix instance needs root"}
    if shutil.which("openssl") is None:
        return {"unavailable": "the openssl command is not installed (Debian package openssl)"}
    if not os.path.exists("/usr/sbin/saslpasswd2"):
        return {"unavailable": "saslpasswd2 is not installed (Debian packages sasl2-bin and "
                "libsasl2-modules)"}
    import pwd
    import tempfile
    # The instance's UNIX sockets live in its queue folder and a socket path
    # holds at most 107 bytes: the instance lives under a short folder of its
    # own, wherever the build tree is, and is removed when it stops.
    folder = tempfile.mkdtemp(prefix="qv-postfix-")
    os.chmod(folder, 0o755)
    etc, queue, data, mail, tls, sasl = (os.path.join(folder, d)
                                         for d in ("etc", "queue", "data", "mail", "tls", "sasl"))
    for d in (etc, queue, data, mail, tls, sasl):
        os.makedirs(d)
    try:
        make_test_certificates(tls)
    except RuntimeError as error:
        shutil.rmtree(folder, ignore_errors=True)
        sys.exit(str(error))
    postfix_user = pwd.getpwnam("postfix")
    nobody = pwd.getpwnam("nobody")
    os.chown(data, postfix_user.pw_uid, postfix_user.pw_gid)
    os.chown(mail, nobody.pw_uid, nobody.pw_gid)
    # local(8) delivers to files named in a root-owned alias map as nobody.
    for user in (*POSTFIX_USERS, POSTFIX_UTF8_USER[1]):
        os.makedirs(os.path.join(mail, user))
        os.chown(os.path.join(mail, user), nobody.pw_uid, nobody.pw_gid)
    # The listeners: state key, smtpd's own settings, and whether it speaks
    # TLS from the first byte. Each TLS listener requires it (encrypt): MAIL
    # before STARTTLS is refused, so a delivery through it went encrypted.
    starttls = "-o smtpd_tls_security_level=encrypt"
    implicit = starttls + " -o smtpd_tls_wrappermode=yes"
    # AUTH is offered only once TLS is on, and nothing is taken from a
    # client that did not authenticate, not even mail for this domain.
    auth = ("-o smtpd_sasl_auth_enable=yes -o smtpd_relay_restrictions=permit_sasl_authenticated,"
            "reject -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject")
    # What is submitted with SMTPUTF8 may carry UTF-8 in its headers: its
    # cleanup does not insist on 7-bit headers.
    submission = (f"{starttls} {auth} -o smtpd_tls_auth_only=yes "
                  "-o cleanup_service_name=submission-cleanup")
    listeners = [
        ("port", "", False),
        ("port_8bitmime", "-o strict_8bitmime=yes", False),
        ("port_starttls", starttls, False),
        ("port_tls", implicit, True),
        ("port_starttls_wrong_name",
         f"{starttls} -o smtpd_tls_cert_file={tls}/wrong-name.pem", False),
        ("port_tls_expired", f"{implicit} -o smtpd_tls_cert_file={tls}/expired.pem", True),
        ("port_submission", submission, False),
        ("port_submissions", f"{submission} -o smtpd_tls_wrappermode=yes", True),
        # Its own log name tells what a client sent it from what the others saw.
        ("port_auth_in_clear", f"{auth} -o syslog_name=postfix/auth-in-clear", False),
    ]
    ports = []
    while len(ports) < len(listeners):
        port = free_port()
        if port not in ports:
            ports.append(port)
    tag = f"postfix-{secrets.token_hex(4)}"
    with open(os.path.join(etc, "main.cf"), "w", encoding="ascii") as f:
        f.write(POSTFIX_MAIN_CF.format(etc=etc, queue=queue, data=data, folder=folder, tag=tag,
                                       size_limit=POSTFIX_SIZE_LIMIT, tls=tls))
    with open(os.path.join(etc, "master.cf"), "w", encoding="ascii") as f:
        for (_, settings, _), port in zip(listeners, ports):
            f.write(f"127.0.0.1:{port} inet n - n - - smtpd {settings}".rstrip() + "\n")
        f.write(POSTFIX_SERVICES)
        f.write("submission-cleanup unix n - n - 0 cleanup -o strict_7bit_headers=no\n")
    with open(os.path.join(etc, "aliases"), "w", encoding="utf-8") as f:
        f.write("postmaster: root\n")
        for user, folder_name in (*((u, u) for u in POSTFIX_USERS), POSTFIX_UTF8_USER):
            f.write(f"{user}: {os.path.join(mail, folder_name)}/\n")
    with open(os.path.join(etc, "senders"), "w", encoding="ascii") as f:
        f.write(f"{POSTFIX_REFUSED_SENDER} REJECT\n")
    subprocess.run(["/usr/sbin/postalias", "-c", etc, f"hash:{etc}/aliases"], check=True)
    subprocess.run(["/usr/sbin/postmap", "-c", etc, f"hash:{etc}/senders"], check=True)
    try:
        sasl_password = make_sasl_user(etc, sasl, postfix_user)
    except (OSError, subprocess.SubprocessError) as error:
        shutil.rmtree(folder, ignore_errors=True)
        sys.exit(f"the SASL user database could not be made: {error}")
    # start checks the installation (and makes the queue folders) first.
    done = postfix_run(etc, "start")
    if done.returncode != 0:
        postfix_run(etc, "stop")
        sys.exit(f"postfix start failed:\n{done.stdout}{done.stderr}"
                 f"{log_tail(os.path.join(folder, 'maillog'))}")
    # Ends the instance if the test runner dies before stop runs.
    watcher = subprocess.Popen(
        [sys.executable, "-B", os.path.abspath(__file__), "watch-postfix", "--watch-pid",
         str(os.getppid()), "--max-seconds", str(MAX_LIFETIME), etc],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True, close_fds=True)
    # Every listener must greet, the TLS ones through their handshake (which
    # loads their certificate); the tests check the certificates themselves.
    import ssl
    unchecked = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    unchecked.check_hostname = False
    unchecked.verify_mode = ssl.CERT_NONE
    deadline = time.monotonic() + START_LIMIT
    while time.monotonic() < deadline:
        lines = [greeting(port, tls=unchecked if wrapped else None)
                 for (_, _, wrapped), port in zip(listeners, ports)]
        if all(line is not None and tag.encode() in line for line in lines):
            state = {key: port for (key, _, _), port in zip(listeners, ports)}
            state.update({
                "ca_file": os.path.join(tls, "ca.pem"),
                "certificate_names": list(POSTFIX_CERTIFICATE_NAMES),
                "wrong_name": POSTFIX_WRONG_NAME, "folder": folder, "etc": etc, "mail": mail,
                "watcher": watcher.pid, "size_limit": POSTFIX_SIZE_LIMIT,
                "refused_sender": POSTFIX_REFUSED_SENDER, "log": os.path.join(folder, "maillog"),
                "sasl_user": POSTFIX_SASL_USER, "sasl_password": sasl_password,
                "utf8_recipient": f"{POSTFIX_UTF8_USER[0]}@qvsmtp.test",
                "utf8_maildir": os.path.join(mail, POSTFIX_UTF8_USER[1])})
            return state
        time.sleep(0.1)
    postfix_run(etc, "stop")
    sys.exit(f"postfix did not greet; its log:\n{log_tail(os.path.join(folder, 'maillog'))}")


def stop_postfix(state):
    postfix_run(state["etc"], "stop")
    watcher = state.get("watcher")
    if watcher and alive(watcher):
        try:
            os.kill(watcher, signal.SIGTERM)
        except ProcessLookupError:
            pass


def watch_postfix(args):
    started = time.monotonic()
    while alive(args.watch_pid) and time.monotonic() - started < args.max_seconds:
        time.sleep(0.5)
    postfix_run(args.etc, "stop")
    shutil.rmtree(os.path.dirname(args.etc), ignore_errors=True)
    return 0


def stop(name, state_dir, quiet=False):
    path = state_path(state_dir, name)
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except (OSError, ValueError):
        if not quiet:
            print(f"{name}: no server recorded in {state_dir}")
        return
    if state.get("kind") == "postfix":
        if "etc" in state:
            stop_postfix(state)
    elif "pid" in state:
        stop_process_group(state["pid"], state["pid"])
    if not quiet:
        print(f"{name}: stopped (port {state.get('port')}); the end of its log:\n"
              f"{log_tail(state.get('log', ''))}")
    os.remove(path)
    port_file = os.path.join(state_dir, name + ".port")
    if os.path.exists(port_file):
        os.remove(port_file)
    for kept in (state.get("spool"), state.get("folder")):
        if kept and not os.environ.get("QV_KEEP_SERVER_FILES"):
            shutil.rmtree(kept, ignore_errors=True)


def start(args):
    os.makedirs(args.state_dir, exist_ok=True)
    stop(args.name, args.state_dir, quiet=True)  # left over from a run that died
    log = os.path.join(args.state_dir, args.name + ".log")
    if os.path.exists(log):
        os.remove(log)
    if args.kind in ("aiosmtpd", "aiosmtpd-oauth"):
        if args.options:
            sys.exit(f"{args.kind} takes no options")
        state = start_aiosmtpd(args.name, args.state_dir, oauth=args.kind == "aiosmtpd-oauth")
    elif args.kind == "postfix":
        if args.options:
            sys.exit("postfix takes no options")
        state = start_postfix(args.name, args.state_dir)
    else:
        state = start_smtp_sink(args.name, args.state_dir, args.options)
    state.update({"name": args.name, "kind": args.kind})
    temp = state_path(args.state_dir, args.name) + ".part"
    with open(temp, "w", encoding="utf-8") as f:
        json.dump(state, f, indent=1)
    os.rename(temp, state_path(args.state_dir, args.name))
    if "unavailable" in state:
        print(f"{args.name}: unavailable: {state['unavailable']}")
    elif args.kind == "postfix":
        print(f"{args.name}: postfix listening on 127.0.0.1:{state['port']}, "
              f":{state['port_8bitmime']} (strict_8bitmime), :{state['port_starttls']} "
              f"(STARTTLS), :{state['port_tls']} (TLS), :{state['port_starttls_wrong_name']} "
              f"(STARTTLS, wrong name), :{state['port_tls_expired']} (TLS, expired), "
              f":{state['port_submission']} (STARTTLS, AUTH), :{state['port_submissions']} "
              f"(TLS, AUTH), :{state['port_auth_in_clear']} (AUTH without TLS), "
              f"folder {state['folder']}, CA {state['ca_file']}")
    else:
        print(f"{args.name}: {args.kind} listening on 127.0.0.1:{state['port']} "
              f"(supervisor {state['pid']})")


def supervise(args):
    stopping = []
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda signum, frame: stopping.append(signum))
    child = subprocess.Popen(args.command, stdin=subprocess.DEVNULL)
    started = time.monotonic()
    while child.poll() is None:
        if stopping or (args.watch_pid and not alive(args.watch_pid)) or \
                time.monotonic() - started > args.max_seconds:
            child.terminate()
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            print(f"supervisor: server ended ({'signal' if stopping else 'watch or time'})",
                  flush=True)
            return 0
        time.sleep(0.2)
    print(f"supervisor: server exited with {child.returncode}", flush=True)
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command_name", required=True)
    p = commands.add_parser("start")
    p.add_argument("name")
    p.add_argument("state_dir")
    p.add_argument("kind", choices=["aiosmtpd", "aiosmtpd-oauth", "smtp-sink", "postfix"])
    p.add_argument("options", nargs=argparse.REMAINDER)
    p = commands.add_parser("stop")
    p.add_argument("name")
    p.add_argument("state_dir")
    p = commands.add_parser("supervise")
    p.add_argument("--watch-pid", type=int, default=0)
    p.add_argument("--max-seconds", type=float, default=MAX_LIFETIME)
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = commands.add_parser("watch-postfix")
    p.add_argument("--watch-pid", type=int, default=0)
    p.add_argument("--max-seconds", type=float, default=MAX_LIFETIME)
    p.add_argument("etc")
    args = parser.parse_args()
    for attr in ("options", "command"):
        value = getattr(args, attr, None)
        if value and value[0] == "--":
            setattr(args, attr, value[1:])
    if args.command_name == "start":
        start(args)
    elif args.command_name == "stop":
        stop(args.name, args.state_dir)
    elif args.command_name == "watch-postfix":
        return watch_postfix(args)
    else:
        return supervise(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
