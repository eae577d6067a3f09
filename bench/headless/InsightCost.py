#!/usr/bin/env python3
"""What following the tunnels costs the headless zandrel, against a real sshd on 127.0.0.1:
threads and proportional memory (Pss, its ssh children not counted) with no tunnel and with N
connected ones, the memory across 1,000 reconnects once its rings are full, and the CPU it spends
per connection forwarded (2,000 connections through one forward) beside a bare ssh doing the same.
Targets: at most 2 threads more with 50 tunnels; under 32 KiB per connected tunnel; under 16 KiB
over 1,000 reconnects; under 0.05 ms of CPU per connection.
Needs root (sshd) and a private ~/.ssh: run it through tests/e2e/isolated.sh.
Usage: InsightCost.py ZANDREL_BINARY [TUNNELS]"""
import json, os, socket, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchsshd import cpu_seconds, free_port, run, start_sshd  # noqa: E402

BIN = sys.argv[1]
N = int(sys.argv[2]) if len(sys.argv) > 2 else 50
work = tempfile.mkdtemp(prefix="zandrel-insight.")






def pss_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("Pss:"))


def threads(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))




def echo_server():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(128)

    def serve(c):
        with c:
            while data := c.recv(4096):
                c.sendall(data)

    def loop():
        while True:
            c, _ = srv.accept()
            threading.Thread(target=serve, args=(c,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return srv.getsockname()[1]


def connections(port, count):
    for i in range(count):
        for attempt in range(50):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
                    c.sendall(b"ping")
                    assert c.recv(16) == b"ping"
                break
            except OSError:
                time.sleep(0.05)
        else:
            raise SystemExit(f"connection {i} through port {port} failed")


# ---- the server ----
sshd_port = start_sshd(work)
echo = echo_server()
user = run("id", "-un").strip()


def tunnel(i, auto):
    return {"connName": f"t{i}", "connHost": "127.0.0.1", "connPort": str(sshd_port), "connUser": user,
            "connAuth": False, "autoConnect": auto, "identityFile": f"{work}/client",
            "tunnelsLocal": [{"port": str(free_port()), "host": "127.0.0.1", "hostport": str(echo)}]}


def headless(name, tunnels):
    home = f"{work}/{name}"
    os.makedirs(f"{home}/zandrel")
    with open(f"{home}/zandrel/defaults.json", "w") as f:
        json.dump({"tunnels": tunnels}, f)
    env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_STATE_HOME=f"{home}/state")
    for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ZANDREL_SSH_PROGRAM"):
        env.pop(k, None)
    p = subprocess.Popen([BIN, "--headless"], env=env, stderr=open(f"{home}/log", "w"))
    return p, env


def connected(env):
    out = subprocess.run([BIN, "--list"], env=env, capture_output=True, text=True).stdout
    return out.count("\tConnected\t")


def wait_connected(env, n, limit=120):
    end = time.time() + limit
    while connected(env) < n:
        if time.time() > end:
            raise SystemExit(f"only {connected(env)} of {n} tunnels connected")
        time.sleep(0.2)


def settle():
    time.sleep(2)  # the first samples, the allocator's free lists


def stop(p):
    p.terminate()
    p.wait(20)


def dbus(env, method, *args):
    subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.zandrel.Zandrel", "/org/zandrel/Zandrel",
                    f"org.zandrel.Zandrel.{method}", *args], env=env, check=True, capture_output=True)


try:
    # ---- threads and memory: none, then N connected ----
    empty, env0 = headless("empty", [])
    time.sleep(2)
    connected(env0)  # the bus is up
    settle()
    pss0, threads0 = pss_kib(empty.pid), threads(empty.pid)
    stop(empty)
    many, env = headless("many", [tunnel(i, True) for i in range(1, N + 1)])
    wait_connected(env, N)
    settle()
    pssN, threadsN = pss_kib(many.pid), threads(many.pid)
    print(f"InsightCost: threads {threads0} with no tunnel, {threadsN} with {N} connected "
          f"(target at most 2 more: {'met' if threadsN - threads0 <= 2 else 'NOT met'})")
    per = (pssN - pss0) / N
    print(f"InsightCost: Pss {pss0} KiB with no tunnel, {pssN} KiB with {N} connected: "
          f"{per:.1f} KiB per connected tunnel (target < 32: {'met' if per < 32 else 'NOT met'})")

    # ---- reconnects: fill the rings, then 1,000 more ----
    def reconnect_rounds(rounds):
        for _ in range(rounds):
            dbus(env, "ReconnectAll")
            time.sleep(0.5)
            wait_connected(env, N)

    fill = max(1, 1000 // N)
    reconnect_rounds(fill)
    settle()
    full = pss_kib(many.pid)
    reconnect_rounds(fill)
    settle()
    after = pss_kib(many.pid)
    print(f"InsightCost: Pss {full} KiB once the rings are full, {after} KiB after {fill * N} more reconnects: "
          f"{after - full:+d} KiB (target < 16: {'met' if after - full < 16 else 'NOT met'})")
    stop(many)

    # ---- CPU per forwarded connection ----
    one, env1 = headless("one", [tunnel(1, True)])
    wait_connected(env1, 1)
    port = json.load(open(f"{work}/one/zandrel/defaults.json"))["tunnels"][0]["tunnelsLocal"][0]["port"]
    settle()
    ssh_pid = int(run("pgrep", "-P", str(one.pid), "-x", "ssh").split()[0])
    z0, s0 = cpu_seconds(one.pid), cpu_seconds(ssh_pid)
    start = time.time()
    connections(int(port), 2000)
    wall = time.time() - start
    time.sleep(1)
    z1, s1 = cpu_seconds(one.pid), cpu_seconds(ssh_pid)
    stop(one)
    bare_port = free_port()
    bare = subprocess.Popen(["ssh", "-N", "-v", "-F", "/dev/null", "-i", f"{work}/client", "-p", str(sshd_port),
                             "-o", "ExitOnForwardFailure=yes", "-L", f"{bare_port}:127.0.0.1:{echo}",
                             f"{user}@127.0.0.1"], stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    b0 = cpu_seconds(bare.pid)
    connections(bare_port, 2000)
    time.sleep(1)
    b1 = cpu_seconds(bare.pid)
    bare.terminate()
    bare.wait(10)
    zms = (z1 - z0) * 1000 / 2000
    print(f"InsightCost: 2000 connections in {wall:.1f} s: zandrel {zms:.3f} ms of CPU per connection "
          f"(target < 0.05: {'met' if zms < 0.05 else 'NOT met'}); its ssh {(s1 - s0) * 1000 / 2000:.3f} ms; "
          f"a bare ssh -v {(b1 - b0) * 1000 / 2000:.3f} ms")
finally:
    try:
        os.kill(int(open(f"{work}/sshd.pid").read()), 15)
    except (OSError, ValueError):
        pass
    subprocess.run(["rm", "-rf", work])
