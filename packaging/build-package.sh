#!/bin/bash
# Builds the KRT Kit demonstration package from KRTKit.wxs with wixl, fixes the
# columns that wixl cannot write with msibuild, and checks the tables that
# decide how the custom actions run.
#
#   build-package.sh --out KRTKit.msi --launcher dorvak.exe
#                    --actions KRTCustomActions.dll --payload DIR
#                    [--version 7.1.0] [--arch x64|x86] [--work DIR]
#
# Needs wixl, wixl-heat, msibuild and msiinfo (Debian: wixl, msitools).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out="" launcher="" actions="" payload="" version="7.1.0" arch="x64" work=""

die() { echo "build-package: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
    case "$1" in
        --out) out=$2; shift 2 ;;
        --launcher) launcher=$2; shift 2 ;;
        --actions) actions=$2; shift 2 ;;
        --payload) payload=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --arch) arch=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        *) die "unknown argument '$1'" ;;
    esac
done
[ -n "$out" ] && [ -n "$launcher" ] && [ -n "$actions" ] && [ -n "$payload" ] ||
    die "usage: build-package.sh --out FILE --launcher FILE --actions FILE --payload DIR [--version V] [--arch x64|x86] [--work DIR]"
[ -f "$launcher" ] || die "no launcher at $launcher"
[ -f "$actions" ] || die "no custom action library at $actions"
[ -f "$payload/_KRTInstaller.exe" ] || die "no payload program in $payload"
case "$arch" in
    x64) win64=yes; heat_win64=--win64 ;;
    x86) win64=no; heat_win64= ;;
    *) die "unknown architecture '$arch'" ;;
esac
for tool in wixl wixl-heat msibuild msiinfo; do
    command -v "$tool" >/dev/null || die "$tool not found (Debian packages wixl, msitools)"
done

[ -n "$work" ] || work=$(dirname "$out")/package-work
mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -rf "$work/stage" "$work/KRTKit.msi" "$work/payload.wxs" "$work"/*.idt
mkdir "$work/stage"

# wixl takes sources relative to where it runs: the package is built from a
# snapshot of the artefacts in the work folder.
cp "$launcher" "$work/stage/dorvak.exe"
cp "$actions" "$work/stage/KRTCustomActions.dll"
cp -R "$payload" "$work/stage/payload"

# 1. The payload's components, one per file, from what the folder holds.
(cd "$work/stage/payload" && find . -type f | LC_ALL=C sort) |
    wixl-heat --prefix ./ --component-group KRTPayload --var var.PayloadDir --directory-ref TARGETDIR $heat_win64 \
    > "$work/payload.wxs"

# 2. The package as wixl writes it.
msi="$work/KRTKit.msi"
(cd "$work/stage" && wixl --arch "$arch" -o "$msi" \
    -D ProductVersion="$version" -D LauncherFile=dorvak.exe -D ActionsFile=KRTCustomActions.dll \
    -D PayloadDir=payload -D Win64="$win64" \
    "$here/KRTKit.wxs" "$work/payload.wxs")

# 3. What wixl cannot write.
#    Types: 1 = DLL from the Binary table, run at once (immediate);
#    1281 = 1 + 0x400 in-script + 0x100 rollback;
#    1537 = 1 + 0x400 in-script + 0x200 commit. No 0x800 (no-impersonate):
#    Commit must share the impersonated custom-action host with Install.
#    The installer skips commit actions when rollback is disabled (policy or
#    DISABLEROLLBACK), which would leave an installed product without its
#    runtime; a type 19 action ends such an installation with an error. It
#    stops the installation twice: before RemoveExistingProducts, so that an
#    upgrade refused for this reason keeps the older version, and after
#    InstallInitialize, for an installer that sets RollbackDisabled only when
#    the script starts.
no_rollback="[ProductName] cannot be installed while rollback is disabled: its runtime is laid down by a commit action, which the installer skips without rollback."
msibuild "$msi" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 1 WHERE \`Action\` = 'KRTInstall'" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 1281 WHERE \`Action\` = 'KRTRollback'" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 1537 WHERE \`Action\` = 'KRTCommit'" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 1 WHERE \`Action\` = 'KRTUninstall'" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('KRTRequireRollbackEarly', 19, '$no_rollback')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KRTRequireRollbackEarly', '(RollbackDisabled OR DISABLEROLLBACK) AND NOT REMOVE', 1399)" \
    -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('KRTRequireRollback', 19, '$no_rollback')" \
    -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KRTRequireRollback', 'RollbackDisabled AND NOT REMOVE', 1501)"

#    The upgrade: wixl's removal row finds older versions only (Attributes 1,
#    migrate features), so a rebuild of the installed version, which has a
#    new product code, would install beside it. 513 adds 0x200, maximum
#    inclusive: the same version is removed as well. (The key's columns
#    cannot be updated, so the row is replaced.) wixl gives its set-property
#    actions the no-impersonate bit, which means nothing for an immediate
#    action: plain 51.
export_table() { msiinfo export "$msi" "$1" | tr -d '\r' > "$work/$1.idt"; }
export_table Upgrade
upgrade_code=$(awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }' "$work/Upgrade.idt")
[ -n "$upgrade_code" ] || die "wixl wrote no upgrade row (MajorUpgrade)"
msibuild "$msi" \
    -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = 'KRTRememberedRootToTarget'" \
    -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = 'KRTDefaultRoot'"

# 4. Check the result: the custom actions, their place in the sequence, the
#    upgrade rows, and the files that the actions rely on.
for table in CustomAction InstallExecuteSequence InstallUISequence Upgrade LaunchCondition Property File Component Directory; do
    export_table "$table"
done

expect_row() {  # table file, tab-separated row
    grep -qxF "$2" "$1" || die "$(basename "$1" .idt) lacks the row '$(echo "$2" | tr '\t' '|')'"
}
tab=$'\t'
expect_row "$work/CustomAction.idt" "KRTInstall${tab}1${tab}KRTCustomActions${tab}Install${tab}"
expect_row "$work/CustomAction.idt" "KRTRollback${tab}1281${tab}KRTCustomActions${tab}Rollback${tab}"
expect_row "$work/CustomAction.idt" "KRTCommit${tab}1537${tab}KRTCustomActions${tab}Commit${tab}"
expect_row "$work/CustomAction.idt" "KRTUninstall${tab}1${tab}KRTCustomActions${tab}Uninstall${tab}"
for action in KRTRequireRollbackEarly KRTRequireRollback; do
    grep -q "^${action}${tab}19${tab}${tab}" "$work/CustomAction.idt" || die "CustomAction lacks $action"
done
expect_row "$work/CustomAction.idt" "KRTRememberedRootToTarget${tab}51${tab}TARGETDIR${tab}[KRTREMEMBEREDROOT]${tab}"
expect_row "$work/CustomAction.idt" "KRTDefaultRoot${tab}51${tab}TARGETDIR${tab}C:\\Apps\\Kit\\${tab}"

# Every build has a product code of its own (Id="*") and the one fixed
# upgrade code: versions up to this one are removed, newer ones only
# detected and refused by a launch condition.
grep -q "^ProductCode${tab}{" "$work/Property.idt" || die "the package has no product code"
expect_row "$work/Upgrade.idt" "${upgrade_code}${tab}${tab}${version}${tab}${tab}513${tab}${tab}WIX_UPGRADE_DETECTED"
expect_row "$work/Upgrade.idt" "${upgrade_code}${tab}${version}${tab}${tab}${tab}2${tab}${tab}WIX_DOWNGRADE_DETECTED"
grep -q "^NOT WIX_DOWNGRADE_DETECTED${tab}A newer version of" "$work/LaunchCondition.idt" ||
    die "LaunchCondition lacks the refusal of a downgrade"

seq_of() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' "$work/InstallExecuteSequence.idt"; }
cond_of() { awk -F'\t' -v a="$1" '$1 == a { print $2 }' "$work/InstallExecuteSequence.idt"; }
before() {  # action A runs before action B
    local a b
    a=$(seq_of "$1"); b=$(seq_of "$2")
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || die "$1 ($a) must come before $2 ($b)"
}
before FindRelatedProducts AppSearch
before AppSearch KRTRememberedRootToTarget
before KRTRememberedRootToTarget KRTDefaultRoot
before KRTDefaultRoot LaunchConditions
before LaunchConditions CostInitialize
before AppSearch CostFinalize
before CostFinalize KRTRequireRollbackEarly
before KRTRequireRollbackEarly RemoveExistingProducts
before InstallValidate RemoveExistingProducts
before RemoveExistingProducts InstallInitialize
before CostFinalize KRTInstall
before KRTInstall InstallInitialize
before InstallInitialize KRTRequireRollback
before KRTRequireRollback KRTCommit
before KRTUninstall RemoveFiles
before InstallInitialize KRTUninstall
before InstallFiles KRTRollback
before KRTRollback KRTCommit
before KRTCommit InstallFinalize
[ "$(cond_of KRTRequireRollbackEarly)" = "(RollbackDisabled OR DISABLEROLLBACK) AND NOT REMOVE" ] ||
    die "KRTRequireRollbackEarly has the condition '$(cond_of KRTRequireRollbackEarly)'"
[ "$(cond_of KRTRequireRollback)" = "RollbackDisabled AND NOT REMOVE" ] ||
    die "KRTRequireRollback has the condition '$(cond_of KRTRequireRollback)'"
[ "$(cond_of KRTInstall)" = "NOT REMOVE" ] || die "KRTInstall has the condition '$(cond_of KRTInstall)'"
[ "$(cond_of KRTCommit)" = "NOT REMOVE" ] || die "KRTCommit has the condition '$(cond_of KRTCommit)'"
[ "$(cond_of KRTRollback)" = "NOT REMOVE" ] || die "KRTRollback has the condition '$(cond_of KRTRollback)'"
[ "$(cond_of KRTUninstall)" = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE' ] ||
    die "KRTUninstall has the condition '$(cond_of KRTUninstall)'"
[ "$(cond_of KRTRememberedRootToTarget)" = "KRTREMEMBEREDROOT AND (Installed OR NOT TARGETDIR)" ] ||
    die "KRTRememberedRootToTarget has the condition '$(cond_of KRTRememberedRootToTarget)'"
[ "$(cond_of KRTDefaultRoot)" = "NOT TARGETDIR" ] || die "KRTDefaultRoot has the condition '$(cond_of KRTDefaultRoot)'"
# A full-UI installation chooses the root in the UI sequence: the same rows.
row_of() { awk -F'\t' -v a="$2" '$1 == a' "$work/$1.idt"; }  # table, action
for action in AppSearch KRTRememberedRootToTarget KRTDefaultRoot; do
    [ "$(row_of InstallUISequence "$action")" = "$(row_of InstallExecuteSequence "$action")" ] ||
        die "$action differs between InstallUISequence and InstallExecuteSequence"
done

# Commit starts the payload program by its bare name with the install root at
# the head of PATH: it must lie in TARGETDIR itself.
dir_of_file() { awk -F'\t' -v f="$1" 'tolower($3) ~ ("(^|\\|)" tolower(f) "$") { print $2 }' "$work/File.idt"; }
comp=$(dir_of_file _KRTInstaller.exe)
[ -n "$comp" ] || die "the package holds no _KRTInstaller.exe"
dir=$(awk -F'\t' -v c="$comp" '$1 == c { print $3 }' "$work/Component.idt")
while [ "$dir" != "TARGETDIR" ]; do
    row=$(awk -F'\t' -v d="$dir" '$1 == d' "$work/Directory.idt")
    default=$(echo "$row" | cut -f3)
    [ "$default" = "." ] || die "_KRTInstaller.exe is installed in $dir, not in TARGETDIR"
    dir=$(echo "$row" | cut -f2)
done

mkdir -p "$(dirname "$out")"
mv -f "$msi" "$out"
echo "build-package: $out"
