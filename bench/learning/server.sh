# Sourced by the learning benches: waits until the stand-in server started
# as $server says in the log file $1 that it listens; fails with that log
# when it ends first or takes more than 10 s.
wait_until_listening() {
    tries=0
    until grep -q '^listening on' "$1" 2>/dev/null; do
        tries=$((tries + 1))
        if [ $tries -gt 100 ] || ! kill -0 "$server" 2>/dev/null; then
            cat "$1" >&2
            exit 1
        fi
        sleep 0.1
    done
}
