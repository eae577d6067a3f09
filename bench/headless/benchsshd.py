"""What the headless benchmarks share: free ports, commands, CPU time, and a private sshd on
127.0.0.1 that accepts a key made for it (its host key written to ~/.ssh/known_hosts)."""
import os, socket, subprocess


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def cpu_seconds(pid):
    # Every thread's time on a CPU, in nanoseconds (finer than the clock ticks of /proc/PID/stat).
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def start_sshd(work, extra=""):
    """Starts sshd with keys in work (client key: work/client); returns its port."""
    port = free_port()
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{work}/hostkey")
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", f"{work}/client")
    with open(f"{work}/sshd_config", "w") as f:
        f.write(f"Port {port}\nListenAddress 127.0.0.1\nHostKey {work}/hostkey\n"
                f"AuthorizedKeysFile {work}/client.pub\nPasswordAuthentication no\n"
                f"KbdInteractiveAuthentication no\nStrictModes no\nPidFile {work}/sshd.pid\nMaxStartups 100\n{extra}")
    subprocess.run(["/usr/sbin/sshd", "-f", f"{work}/sshd_config", "-E", f"{work}/sshd.log"], check=True)
    os.makedirs(os.path.expanduser("~/.ssh"), exist_ok=True)
    with open(os.path.expanduser("~/.ssh/known_hosts"), "w") as f:
        f.write(f"[127.0.0.1]:{port} {open(f'{work}/hostkey.pub').read()}")
    return port
