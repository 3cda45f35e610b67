# Sourced by the scripts that need a simulated device.
#
# sim_start PROGRAM OUT ERR [OPTIONS...]: starts iap-device-sim in the background with its
# stdout in OUT and stderr in ERR, and waits (up to 10 s) for the first line, the port to
# open. Sets sim_pid and sim_port; returns 1 if the simulator did not start.
sim_start() {
    local program=$1 out=$2 err=$3
    shift 3
    "$program" "$@" >"$out" 2>"$err" &
    sim_pid=$!
    sim_port=
    for _ in $(seq 200); do
        sim_port=$(head -n 1 "$out" 2>/dev/null || true)
        [ -n "$sim_port" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    return 1
}
