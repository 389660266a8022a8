"""A real SMTP server on loopback for the crash-report tests (aiosmtpd).

Every accepted mail is written to DIR as N.eml (the message as received) and N.meta (envelope, TLS state
and login). Every login attempt is appended to DIR/auth.log with the TLS state at that moment.
Prints READY when it accepts connections; runs until killed.
"""
import argparse
import json
import os
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def on_tls(server, session):
    # STARTTLS shows in the session; implicit TLS (smtps) only in the transport.
    transport = getattr(server, "transport", None)
    return session.ssl is not None or (transport is not None and transport.get_extra_info("ssl_object") is not None)


class Sink:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.out_dir, str(self.count))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "tls": on_tls(server, session),
            "authenticated": bool(session.authenticated),
        }
        with open(base + ".meta", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 OK"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--starttls", action="store_true")
    p.add_argument("--smtps", action="store_true")
    p.add_argument("--auth")  # USER:PASSWORD
    p.add_argument("--auth-in-clear", action="store_true")
    a = p.parse_args()

    ctx = None
    if a.cert:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(a.cert, a.key)

    auth_log = os.path.join(a.dir, "auth.log")

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = False
        user = ""
        if isinstance(auth_data, LoginPassword):
            user = auth_data.login.decode()
            ok = a.auth is not None and f"{user}:{auth_data.password.decode()}" == a.auth
        with open(auth_log, "a") as f:
            f.write(f"{mechanism} {user} tls={1 if on_tls(server, session) else 0} ok={1 if ok else 0}\n")
        return AuthResult(success=ok)

    kwargs = dict(hostname="127.0.0.1", port=a.port, server_hostname="localhost")
    if a.auth:
        kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=not a.auth_in_clear)
    if a.starttls:
        kwargs.update(tls_context=ctx)
    if a.smtps:
        kwargs.update(ssl_context=ctx)
    controller = Controller(Sink(a.dir), **kwargs)
    controller.start()
    print("READY", flush=True)
    try:
        while True:
            time.sleep(3600)
    finally:
        controller.stop()


if __name__ == "__main__":
    sys.exit(main())
