# Sourced by the bench scripts after they set bench_name: a work folder that
# goes at exit, with every process whose pid was added to `pids`, and a free
# loopback port for the servers they start.
work=$(mktemp -d "/tmp/${bench_name:-bench}.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
