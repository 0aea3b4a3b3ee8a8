# Sourced by the lane scripts: start_board PROGRAM FOLDER starts the virtual
# board with its output in FOLDER/board.out and .err, and sets board_pid and
# slave (its pseudo-terminal) once the board has reported it; false when it
# did not start within 10 seconds. The caller ends board_pid.
start_board() {
  local program=$1 folder=$2
  "$program" >"$folder/board.out" 2>"$folder/board.err" &
  board_pid=$!
  for _ in $(seq 200); do
    [ -s "$folder/board.out" ] && break
    sleep 0.05
  done
  slave=$(head -n 1 "$folder/board.out")
  [ -c "$slave" ] || { cat "$folder/board.err"; return 1; }
}
