# shellcheck shell=sh
# Instruction counting for the benchmarks, sourced by tools/bench-instructions.sh
# and tools/bench-tomcat.sh: runs a command under callgrind and reads the
# profile back as a call graph. HotSpot's functions are named only with its
# debug symbols (Debian's openjdk-<N>-dbg, matching the JDK's version), the
# library's with the libtarsil64.so.debug beside it.

# Callgrind's options for a JVM. HotSpot stops threads at safepoints by
# letting a load from a protected page fault, and resumes them from the
# registers the signal saw: valgrind must keep every register exact at
# each memory access, or a resumed thread now and then goes on with stale
# ones and the JVM crashes. The names are written in full in every part of
# the profile, so that each part reads on its own.
cg_options="--tool=callgrind --vex-iropt-register-updates=allregs-at-mem-access --compress-strings=no"

# Installs valgrind and, for a Debian JDK, its debug symbols when they are
# missing, with tools/apt-install.sh (which says what to run when not
# root). The debug package must match the JDK's version exactly:
# installing it can upgrade the JDK itself. Another JDK's symbols are its
# own affair; without them the benchmarks find no HotSpot function and say
# so.
#   cg_require_tools TOOLS_DIR JAVA_HOME
cg_require_tools() {
    cg_packages=valgrind
    # The feature release from the class file version: 52 on Java 8, one
    # more for every release since.
    cg_class_version=$("$2/bin/java" -XshowSettings:properties -version 2>&1 |
        sed -n 's/^ *java\.class\.version = \([0-9]*\).*/\1/p')
    cg_release=$((cg_class_version - 44))
    case $(readlink -f "$2") in
        /usr/lib/jvm/java-$cg_release-openjdk-*) cg_packages="$cg_packages openjdk-$cg_release-dbg" ;;
        *) echo "$2 is not a Debian OpenJDK: its HotSpot symbols must be installed by hand" >&2 ;;
    esac
    for cg_package in $cg_packages; do
        if ! dpkg-query -W -f='${Status}' "$cg_package" 2>/dev/null | grep -q "install ok installed"; then
            echo "Installing $cg_packages (HotSpot's symbols may upgrade the JDK to their version)"
            # shellcheck disable=SC2086
            sh "$1/apt-install.sh" $cg_packages || exit 1
            break
        fi
    done
}

# Runs a command under callgrind, quietly, at low priority; a failed run
# (or one the JVM ended with a crash report) stops the benchmark.
#   cg_run OUT_FILE [CALLGRIND_OPTION...] -- COMMAND...
cg_run() {
    cg_out=$1
    shift
    cg_extra=""
    while [ "$1" != -- ]; do
        cg_extra="$cg_extra $1"
        shift
    done
    shift
    # shellcheck disable=SC2086
    if ! nice -n 10 valgrind -q $cg_options $cg_extra --callgrind-out-file="$cg_out" "$@" >"$cg_out.log" 2>&1; then
        echo "callgrind run failed: $*" >&2
        tail -20 "$cg_out.log" >&2
        exit 1
    fi
}

# The total instructions of one profile file.
cg_total() {
    sed -n 's/^summary: *//p' "$1"
}

# Flattens one profile file into tab-separated records (the input of the
# queries below):
#   S  object  function  self-instructions
#   E  caller  callee  calls  inclusive-instructions-of-those-calls
# Function names carry callgrind's contexts: "f'caller'caller's caller"
# with --separate-callers, "f'2" for a call of f while f is running.
cg_table() {
    awk '
    /^ob=/ { ob = substr($0, 4); next }
    /^fn=/ { fn = substr($0, 4); object[fn] = ob; next }
    /^cfn=/ { cfn = substr($0, 5); next }
    /^calls=/ { calls = substr($0, 7); sub(/ .*/, "", calls); pending = 1; next }
    /^[0-9+*-]/ {
        if (pending) {
            key = fn SUBSEP cfn
            edge_calls[key] += calls
            edge_cost[key] += $2
            pending = 0
        } else {
            self[fn] += $2
        }
    }
    END {
        # Counts beyond 2^31 print in full with %.0f only.
        for (f in self) printf "S\t%s\t%s\t%.0f\n", object[f], f, self[f]
        for (k in edge_calls) {
            split(k, pair, SUBSEP)
            printf "E\t%s\t%s\t%.0f\t%.0f\n", pair[1], pair[2], edge_calls[k], edge_cost[k]
        }
    }' "$1"
}

# The inclusive instructions and the number of the calls of a function,
# named by the start of its name ("JvmtiEnv::RedefineClasses(" or
# "jni_NewByteArray"), whatever the caller: "CALLS INSTRUCTIONS". Only
# the outermost calls count towards the instructions (a call made while the
# function is running is within the outer call's), every call towards the
# calls.
#   cg_function TABLE NAME
cg_function() {
    awk -F '\t' -v name="$2" -v q="'" '
    function base(f) { sub(q ".*", "", f); return f }
    function named(f) { return index(base(f), name) == 1 }
    BEGIN { nested = "^[^" q "]*" q "[0-9]+(" q "|$)" }
    $1 == "E" && named($3) && !named($2) {
        calls += $4
        if ($3 !~ nested) cost += $5
    }
    $1 == "E" && named($3) && named($2) { calls += $4 }
    END { printf "%.0f %.0f\n", calls, cost }' "$1"
}

# Where an agent's instructions go under one of its entry points (named
# like cg_function's), from a profile made with --separate-callers deep
# enough to reach the entry point from every call the agent makes. Prints
# tab-separated "NAME CALLS INSTRUCTIONS" lines: "@entry" for the entry
# point itself (outermost calls), one line per function outside the agent's
# object that the agent's code calls, "@java" for the Java code run by those
# calls (the calls of JavaCalls::call within them), and "@own" for the
# agent's own code. Calls whose context does not reach the entry point are
# left out: they show as a gap between @entry and the sum of the others.
#   cg_breakdown TABLE OBJECT_PATTERN ENTRY
cg_breakdown() {
    cg_function "$1" "$3" | awk '{ printf "@entry\t%s\t%s\n", $1, $2 }'
    awk -F '\t' -v agent="$2" -v entry="$3" -v q="'" '
    function base(f) { sub(q ".*", "", f); return f }
    function under(f,    n, part, i) {
        n = split(f, part, q)
        for (i = 1; i <= n; i++) if (index(part[i], entry) == 1) return 1
        return 0
    }
    $1 == "S" { object[$3] = $2; if ($2 ~ agent && under($3)) own += $4; next }
    $1 == "E" && under($2) { caller[NR] = $2; callee[NR] = $3; count[NR] = $4; cost[NR] = $5 }
    END {
        for (r in caller) {
            if (object[caller[r]] ~ agent && object[callee[r]] !~ agent) {
                name = base(callee[r])
                # CallObjectMethod and CallObjectMethodV are one call.
                if (name ~ /^jni_Call.*Method[VA]$/) sub(/[VA]$/, "", name)
                calls[name] += count[r]
                spent[name] += cost[r]
            } else if (index(base(callee[r]), "JavaCalls::call(") == 1 && index(base(caller[r]), "JavaCalls::") != 1) {
                java_calls += count[r]
                java += cost[r]
            }
        }
        for (name in calls) printf "%s\t%.0f\t%.0f\n", name, calls[name], spent[name]
        printf "@java\t%.0f\t%.0f\n@own\t0\t%.0f\n", java_calls, java, own
    }' "$1"
}

# A markdown table of breakdowns side by side, in instructions per call of
# each column's entry point: the entry point first, then the functions the
# agents call (most instructions first; "n calls" where a function is
# called more than once per entry), the Java code after the Java call, and
# the agents' own code last.
#   cg_markdown FIRST_HEADER LABEL BREAKDOWN_FILE [LABEL BREAKDOWN_FILE]...
cg_markdown() {
    cg_header=$1
    shift
    cg_columns=""
    cg_files=""
    while [ $# -ge 2 ]; do
        cg_columns="$cg_columns$1	"
        cg_files="$cg_files $2"
        shift 2
    done
    # shellcheck disable=SC2086
    awk -F '\t' -v header="$cg_header" -v labels="$cg_columns" '
    FNR == 1 { column++ }
    $1 == "@entry" { per[column] = $2 > 0 ? $2 : 1 }
    { calls[$1, column] = $2; cost[$1, column] = $3; if ($3 > top[$1]) top[$1] = $3; if (!($1 in seen)) { seen[$1] = 1; names[++rows] = $1 } }
    function cell(name, c,    n, text) {
        if (!((name, c) in cost)) return ""
        text = sprintf("%.0f", cost[name, c] / per[c])
        n = calls[name, c] / per[c]
        if (name !~ /^@/ && n > 1.05) text = text sprintf(" (%.3g calls)", n)
        return text
    }
    function label(name) {
        if (name == "@entry") return "the entry point, inclusive"
        if (name == "@java") return "&nbsp;&nbsp;of which the Java code it runs"
        if (name == "@own") return "the agent'"'"'s own code"
        return "`" name "`"
    }
    function line(name,    c, text) {
        text = "| " label(name)
        for (c = 1; c <= column; c++) text = text " | " cell(name, c)
        print text " |"
    }
    END {
        split(labels, label_of, "\t")
        text = "| " header
        rule = "|---"
        for (c = 1; c <= column; c++) { text = text " | " label_of[c]; rule = rule "|---:" }
        print text " |"
        print rule "|"
        line("@entry")
        # The callees, most instructions first (a selection sort: few rows).
        for (i = 1; i <= rows; i++) if (names[i] !~ /^@/) order[++count] = names[i]
        for (i = 1; i <= count; i++)
            for (j = i + 1; j <= count; j++)
                if (top[order[j]] > top[order[i]]) { t = order[i]; order[i] = order[j]; order[j] = t }
        for (i = 1; i <= count; i++) {
            line(order[i])
            if (order[i] ~ /CallObjectMethod/ && !java_done) { line("@java"); java_done = 1 }
        }
        if (!java_done) line("@java")
        line("@own")
    }' $cg_files
}
