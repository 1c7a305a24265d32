#!/usr/bin/python3
"""An SMTP server for the integration tests, built on aiosmtpd.

Listens on 127.0.0.1 only, on a free port that it writes to --port-file once
it listens. Every message it accepts is stored in --spool as N.eml (the data
exactly as aiosmtpd hands it over: dots already un-stuffed, line ends as
received) and then N.json (the envelope); the .json appears last, so a reader
that finds it finds the whole message. Every RCPT it is offered, accepted or
not, is appended to rcpt.jsonl in the spool.

A recipient whose local part begins with "refuse" is refused with 550. The
server ends on SIGTERM or SIGINT, and by itself once the process --watch-pid
is gone, so that a test run that dies cannot leave it behind.

With --oauth FILE (JSON: "user" and "token") it requires STARTTLS with the
certificate in --tls-dir (server.pem, server.key), then AUTH with that one
bearer token, by XOAUTH2 or OAUTHBEARER only. Another token gets the
mechanism's error challenge (334 and a JSON error in base64); once the client
has answered it as the mechanism says (an empty line for XOAUTH2, a single
^A for OAUTHBEARER) the refusal follows: 535. The stored envelope names the
login, and the mechanism used.
"""

import argparse
import asyncio
import base64
import json
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import MISSING, SMTP, AuthResult

SERVER_NAME = "aiosmtpd.test"


def refusal(address):
    return f"550 5.1.1 <{address}>: Recipient address rejected: no such user"


def write_atomically(path, data):
    temp = path + ".part"
    with open(temp, "wb") as f:
        f.write(data)
    os.rename(temp, path)


class StoringHandler:
    def __init__(self, spool):
        self.spool = spool
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        refused = address.split("@", 1)[0].lower().startswith("refuse")
        line = json.dumps({"mail_from": envelope.mail_from, "rcpt": address, "refused": refused})
        with open(os.path.join(self.spool, "rcpt.jsonl"), "a", encoding="utf-8") as f:
            f.write(line + "\n")
        if refused:
            return refusal(address)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = f"{self.count:06d}"
        content = envelope.original_content
        write_atomically(os.path.join(self.spool, name + ".eml"), content)
        record = {
            "helo": session.host_name,
            "peer": list(session.peer[:2]),
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "size": len(content),
            "message": name + ".eml",
        }
        if session.authenticated:
            record["login"] = session.auth_data["login"]
            record["mechanism"] = session.auth_data["mechanism"]
        write_atomically(os.path.join(self.spool, name + ".json"),
                         json.dumps(record, indent=1).encode("utf-8"))
        return f"250 OK stored as {name}"


def parse_pairs(text):
    """The key=value pairs of a bearer token message, each ended by ^A, the
    last by ^A^A; None when malformed."""
    if not text.endswith("\x01\x01"):
        return None
    pairs = {}
    for pair in text[:-2].split("\x01"):
        key, equals, value = pair.partition("=")
        if not equals:
            return None
        pairs[key] = value
    return pairs


class OAuthHandler(StoringHandler):
    """Takes one bearer token for one user, by XOAUTH2 or OAUTHBEARER."""

    # What the client must answer the error challenge with, decoded.
    ERROR_ANSWER = {"XOAUTH2": b"", "OAUTHBEARER": b"\x01"}
    ERROR = {
        "XOAUTH2": {"status": "401", "schemes": "bearer", "scope": "mail"},
        "OAUTHBEARER": {"status": "invalid_token", "scope": "mail"},
    }

    def __init__(self, spool, user, token):
        super().__init__(spool)
        self.user = user
        self.token = token

    async def auth_XOAUTH2(self, server, args):
        return await self.authenticate(server, args, "XOAUTH2")

    async def auth_OAUTHBEARER(self, server, args):
        return await self.authenticate(server, args, "OAUTHBEARER")

    @staticmethod
    def user_and_token(mechanism, text):
        """The user and token the client sent, or None when malformed."""
        if mechanism == "OAUTHBEARER":
            # A GS2 header ("n,a=USER,") before the pairs.
            header, separator, text = text.partition(",\x01")
            flag, _, authzid = header.partition(",")
            if not separator or flag != "n" or not authzid.startswith("a="):
                return None
            user = authzid[2:]
        pairs = parse_pairs(text)
        if pairs is None:
            return None
        if mechanism == "XOAUTH2":
            user = pairs.get("user")
        scheme, _, token = pairs.get("auth", "").partition(" ")
        if user is None or scheme.lower() != "bearer":
            return None
        return user, token

    async def authenticate(self, server, args, mechanism):
        # challenge_auth answers a line it cannot decode (or "*") itself.
        refused = AuthResult(success=False, handled=True)
        if len(args) > 1:
            try:
                initial = base64.b64decode(args[1], validate=True)
            except ValueError:
                await server.push("501 5.5.2 Cannot decode the initial response")
                return refused
        else:
            initial = await server.challenge_auth("", encode_to_b64=False)
            if initial is MISSING:
                return refused
        try:
            sent = self.user_and_token(mechanism, initial.decode("utf-8"))
        except UnicodeDecodeError:
            sent = None
        if sent is None:
            await server.push(f"501 5.5.2 Malformed {mechanism} initial response")
            return refused
        if sent == (self.user, self.token):
            return AuthResult(success=True, auth_data={"login": self.user,
                                                       "mechanism": mechanism})
        answer = await server.challenge_auth(json.dumps(self.ERROR[mechanism]))
        if answer is MISSING:
            return refused
        if answer != self.ERROR_ANSWER[mechanism]:
            await server.push(f"501 5.5.2 {mechanism}: the error challenge was not answered "
                              "as the mechanism says")
            return refused
        await server.push(f"535 5.7.8 {mechanism}: the token was not accepted")
        return refused


class TokenSMTP(SMTP):
    """An AUTH line with a bearer token is far longer than other commands."""

    line_length_limit = 12288

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.command_size_limits["AUTH"] = self.line_length_limit


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


async def serve(args):
    loop = asyncio.get_running_loop()
    options = {}
    server_class = SMTP
    if args.oauth:
        with open(args.oauth, encoding="utf-8") as f:
            oauth = json.load(f)
        handler = OAuthHandler(args.spool, oauth["user"], oauth["token"])
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(os.path.join(args.tls_dir, "server.pem"),
                                os.path.join(args.tls_dir, "server.key"))
        options = {"tls_context": context, "require_starttls": True, "auth_required": True,
                   "auth_require_tls": True, "auth_exclude_mechanism": ["PLAIN", "LOGIN"]}
        server_class = TokenSMTP
    else:
        handler = StoringHandler(args.spool)

    def protocol():
        # Room for bodies well beyond the largest test; a fixed hostname keeps
        # aiosmtpd from looking the machine's name up in DNS.
        return server_class(handler, hostname=SERVER_NAME, data_size_limit=256 * 1024 * 1024,
                            loop=loop, **options)

    server = await loop.create_server(protocol, host="127.0.0.1", port=0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(args.port_file, f"{port}\n".encode())
    print(f"listening on 127.0.0.1:{port}", flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    async def watch():
        while alive(args.watch_pid):
            await asyncio.sleep(0.5)
        print(f"process {args.watch_pid} is gone; stopping", flush=True)
        stop.set()

    watcher = asyncio.create_task(watch()) if args.watch_pid else None
    try:
        await asyncio.wait_for(stop.wait(), timeout=args.max_seconds)
    except asyncio.TimeoutError:
        print(f"ran for {args.max_seconds} s; stopping", flush=True)
    if watcher:
        watcher.cancel()
    server.close()
    await server.wait_closed()
    print(f"stopped after {handler.count} messages", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spool", required=True, help="folder for the received messages")
    parser.add_argument("--port-file", required=True, help="file that receives the port")
    parser.add_argument("--watch-pid", type=int, default=0,
                        help="stop once this process has ended")
    parser.add_argument("--max-seconds", type=float, default=3600.0,
                        help="stop after this long whatever happens")
    parser.add_argument("--oauth", help="JSON file with the user and the token to accept")
    parser.add_argument("--tls-dir", help="folder with server.pem and server.key")
    args = parser.parse_args()
    os.makedirs(args.spool, exist_ok=True)
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
