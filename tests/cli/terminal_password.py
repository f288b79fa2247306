#!/usr/bin/env python3
"""sirano-cli asks the master password on a terminal without echoing it, and a Ctrl-C at the
prompt leaves the terminal's echo on.  Usage: terminal_password.py SIRANO_CLI DATA_FILE"""
import os
import pty
import select
import sys
import termios
import time


def session(cli, data, keys):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(cli, [cli, "export", "--data", data])
    out = b""

    def read_for(seconds):
        nonlocal out
        end = time.time() + seconds
        while time.time() < end:
            if select.select([fd], [], [], 0.05)[0]:
                try:
                    out += os.read(fd, 65536)
                except OSError:
                    return
            if b"Master password: " in out and keys is not None:
                return

    read_for(10)
    if b"Master password: " not in out:
        raise SystemExit("no prompt: %r" % out)
    os.write(fd, keys)
    time.sleep(0.3)
    echo_after = bool(termios.tcgetattr(fd)[3] & termios.ECHO)
    keys = None
    read_for(2)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return out, status, echo_after


def main(cli, data):
    out, status, _ = session(cli, data, b"secret\n")
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, (status, out)
    after_prompt = out.split(b"Master password: ", 1)[1]
    assert after_prompt.startswith(b"\r\n{"), "the password was echoed: %r" % out
    assert b'"format": "sirano"' in out, out

    out, status, _ = session(cli, data, b"wrong\n")
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 2, (status, out)
    after_prompt = out.split(b"Master password: ", 1)[1]
    assert after_prompt == b"\r\nsirano-cli: The master password is wrong.\r\n", out

    out, status, echo = session(cli, data, b"\x03")
    assert os.WIFSIGNALED(status), (status, out)
    assert echo, "Ctrl-C left the terminal without echo"
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
