# Sourced by the bench scripts that write figures into bench/RESULTS.md.

# Replaces the part of bench/RESULTS.md between the markers of section $1 with
# the contents of file $2 (appends the section when it is not there yet), so
# that each script keeps its own figures without touching the other's.
write_section() {
    local results=$(dirname "${BASH_SOURCE[0]}")/RESULTS.md name=$1 body=$2
    [ -f "$results" ] || printf '# Reliability and performance figures\n\nWritten by the bench scripts; each run replaces its own section.\n' >"$results"
    awk -v name="$name" -v body="$body" '
        $0 == "<!-- begin " name " -->" { skip = 1; while ((getline line < body) > 0) print line; found = 1; next }
        $0 == "<!-- end " name " -->" { skip = 0; next }
        !skip { print }
        END { if (!found) { print ""; while ((getline line < body) > 0) print line } }
    ' "$results" >"$results.new" && mv "$results.new" "$results"
}
