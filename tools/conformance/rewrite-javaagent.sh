# Sourced by the bin/java of the JDK copy through which tools/conformance.sh
# runs the JDK's tests with the library (it writes that bin/java, setting
# real_java, library, agent_jar, bootcache and log first). Each
# -javaagent:JAR[=OPTIONS] among the launcher's options becomes the library
# (once) and two properties the forwarding agent of tarsil-conformance.jar
# reads: vesta.conformance.agent.N, the jar, and .N.options, the options,
# absent when there was no "=". The jar also names the manifest the adapter
# takes as the agent's. The agent's Boot-Class-Path becomes
# -Xbootclasspath/a:, as the JDK takes it before the JVM runs (its folders
# could not be added later). Everything else passes as it is; the arguments
# of the program, after the main class, -jar JAR or -m MODULE, are left
# alone.

# The entries of the Boot-Class-Path of a jar's manifest, one a line: its
# continuation lines joined, split at blanks, %-escapes decoded (the JDK
# reads each entry as a URI path).
boot_class_path() {
  unzip -p "$1" META-INF/MANIFEST.MF 2>/dev/null | tr -d '\r' | LC_ALL=C awk '
    function hex(digit) { return index("0123456789abcdef", tolower(digit)) - 1 }
    function decoded(s,   out, i, c) {
      out = ""
      for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "%" && i + 2 <= length(s)) {
          c = sprintf("%c", 16 * hex(substr(s, i + 1, 1)) + hex(substr(s, i + 2, 1)))
          i += 2
        }
        out = out c
      }
      return out
    }
    tolower($0) ~ /^boot-class-path:/ { value = substr($0, 17); on = 1; next }
    on && /^ / { value = value substr($0, 2); next }
    { on = 0 }
    END { n = split(value, entries, /[ \t]+/); for (i = 1; i <= n; i++) if (entries[i] != "") print decoded(entries[i]) }'
}

agents=0 in_options=1 takes_value=0 value_ends=0
count=$#
while [ "$count" -gt 0 ]; do
  count=$((count - 1))
  arg=$1
  shift
  if [ "$in_options" = 1 ] && [ "$takes_value" = 1 ]; then
    takes_value=0
    [ "$value_ends" = 0 ] || in_options=0
  elif [ "$in_options" = 1 ]; then
    case $arg in
      -javaagent:*)
        spec=${arg#-javaagent:}
        jar=${spec%%=*}
        agents=$((agents + 1))
        [ "$agents" -gt 1 ] ||
          set -- "$@" "-agentpath:$library" "-Dvesta.native.jar=$agent_jar" "-Dvesta.bootcache.dir=$bootcache" \
            "-Dvesta.agent.manifest.jar=$jar"
        set -- "$@" "-Dvesta.conformance.agent.$agents=$jar"
        case $spec in *=*) set -- "$@" "-Dvesta.conformance.agent.$agents.options=${spec#*=}" ;; esac
        # Relative entries start in the jar's folder.
        entries=""
        while IFS= read -r entry; do
          [ -n "$entry" ] || continue
          case $entry in /*) ;; *) entry=$(dirname "$jar")/$entry ;; esac
          entries=${entries:+$entries:}$entry
        done <<ENTRIES
$(boot_class_path "$jar")
ENTRIES
        [ -z "$entries" ] || set -- "$@" "-Xbootclasspath/a:$entries"
        echo "$$ $(pwd): $arg" >>"$log"
        continue
        ;;
      # The launcher's options whose value is the next argument.
      -cp | -classpath | --class-path | -p | --module-path | --upgrade-module-path | --add-modules | \
        --limit-modules | --add-reads | --add-exports | --add-opens | --patch-module | --enable-native-access | \
        --source | -d | --describe-module)
        takes_value=1 value_ends=0
        ;;
      -jar | -m | --module) takes_value=1 value_ends=1 ;;
      --module=*) in_options=0 ;;
      -*) ;;
      *) in_options=0 ;;
    esac
  fi
  set -- "$@" "$arg"
done
exec "$real_java" "$@"
