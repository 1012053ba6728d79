#!/bin/sh
# The whole life of the kit on the host tier, narrated: installation through the
# host installer driver with the test payload, a run of dorvak that finds the
# runtime through the machine search path, and the removal.
#   scripts/demo-cycle.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
bin=$build/bin
scratch=$(mktemp -d "${TMPDIR:-/tmp}/krt-demo-XXXXXX")
root=$scratch/sim                # the simulated machine's drives: C:\ is $root/C
registry=$scratch/registry.json  # the simulated machine's registry
kit=$root/C/Apps/Kit             # the install root C:\Apps\Kit\

. "$(dirname "$0")/demo-narration.sh"

# Reads the registry file: "path" prints the machine Path, "com" the COM
# servers' registrations, "libpath" the machine Path's drive entries as host
# folders (how this simulated machine finds libraries).
registry() {
    python3 - "$registry" "$root" "$1" <<'PY'
import json, sys
reg_file, root, what = sys.argv[1:4]
reg = {k.lower(): v for k, v in json.load(open(reg_file)).items()}
env = reg.get("hkey_local_machine\\system\\currentcontrolset\\control\\session manager\\environment", {})
path = next((v["data"] for k, v in env.items() if k.lower() == "path"), "").split("\0")[0]
if what == "path":
    print("  " + (path.replace(";", ";\n  ") or "(empty)"))
elif what == "com":
    servers = reg.get("hkey_local_machine\\software\\krtkit\\testcomservers", {})
    for name, value in sorted(servers.items()):
        print("  %s = %s" % (name, value["data"].split("\0")[0]))
    if not servers:
        print("  (none)")
elif what == "libpath":
    dirs = [root + "/" + e[0].upper() + "/" + e[3:].replace("\\", "/") for e in path.split(";") if len(e) > 2 and e[1] == ":"]
    print(":".join(dirs))
PY
}

cat > "$registry" <<'JSON'
{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment":
  {"Path": {"type": 2, "data": "%SystemRoot%\\system32;%SystemRoot%;C:\\Tools\\bin\u0000"}}}
JSON
path_before=$(registry path)

say "The machine before installation. System Path:"
show "$path_before"

say 'The package copies the payload program and dorvak into C:\Apps\Kit\'
mkdir -p "$kit/bin"
cp -R "$build/payload/." "$kit/"
cp "$bin/dorvak" "$kit/bin/dorvak"
(cd "$kit" && find . -type f | sort | sed 's|^\./|  |')

say "The installer runs Install, then Commit (the payload lays the runtime down)"
"$bin/krt-msihost" --root "$root" --registry "$registry" --property 'TARGETDIR=C:\Apps\Kit\' Install Commit

say 'Files laid down under C:\Apps\Kit\v71:'
(cd "$kit" && find v71 -type f | sort | sed 's|^|  |')
say "COM servers registered:"
registry com
say "System Path after installation:"
registry path

say 'dorvak, run from C:\Apps\Kit\bin, finds the runtime library through the system Path'
status=0
LD_LIBRARY_PATH=$(registry libpath) "$kit/bin/dorvak" hello "packaging engineer" || status=$?
show "  exit status: $status"
[ "$status" -eq 0 ]

say "The installer runs Uninstall"
"$bin/krt-msihost" --root "$root" --registry "$registry" --property 'TARGETDIR=C:\Apps\Kit\' Uninstall
expect_gone "$kit/v71" 'C:\Apps\Kit\v71'
expect_path_back "$path_before" "$(registry path)"
say "COM registrations stay, as they were made by the servers themselves:"
registry com

printf '\nEverything of this run is in %s\n' "$scratch"
