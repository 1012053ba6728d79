// The dorvak component data record. Data only, no code.
// The two keys are made by scripts/make-keys.sh (--write replaces the line
// after each "key:" marker).
#include "DORVAK_KVC_COMPONENT_DATA.h"

// key: public
const char __KVC_dorvak_public_data[321] = "30819D300D06092A864886F70D010101050003818B0030818702818100EFFCB0685A605DD6171AA2E069FE55C515391E49F86CD5FF5F0451BE5C216F47142A26CF3925FBA6A17F066B109A658420BA393C94A9ACC9732E047C05461268561703A4BCAE7FB5674E0EF76C387191E09D8C0601657D5E9302B0C4641245A4E5D9ECCAB100FB82F26D961E4F0C0691D4BC8E8FCB5140EA2EF0E1BDC9620AC5020111";

const char *const __KVC_dorvak_name_data = "dorvak";

// The empty text, never a null pointer.
const char *const __KVC_dorvak_root_data = "";

// key: session
const char __KVC_dorvak_session_data[257] = "0A1DAB4773CB15EEA45A9F8ACDBC7B63DC129750A96DAA7DCC2A237D75777EF0AE25ECC499A4435599442729E95CEBB7A52A787D3D255C1F03B1E0CA4DDCDC7B1349B27114AC27737395471134537C68DD2048677026622E294631329310C5B0501B56E15EC745438442EBD9EB17B3352CB0FF4F8C983C32C878E5774D3E8BA3";

// Relative folders, "/"-separated, passed as written: $TOOLBOXKAVRICDIR is
// left for the runtime to resolve.
const char *const __KVC_dorvak_kavricpath_data[34] = {
    "dorvak/",
    "work/",
    "toolbox/vasquin/kinnick/",
    "$TOOLBOXKAVRICDIR/torvane/",
    "$TOOLBOXKAVRICDIR/belk/",
    "$TOOLBOXKAVRICDIR/quessa/",
    "$TOOLBOXKAVRICDIR/hobran/",
    "$TOOLBOXKAVRICDIR/pirrel/",
    "$TOOLBOXKAVRICDIR/wadmire/",
    "$TOOLBOXKAVRICDIR/goskel/",
    "$TOOLBOXKAVRICDIR/lunnet/",
    "$TOOLBOXKAVRICDIR/ardish/",
    "$TOOLBOXKAVRICDIR/kestrow/",
    "$TOOLBOXKAVRICDIR/bilvane/",
    "$TOOLBOXKAVRICDIR/tollmer/",
    "$TOOLBOXKAVRICDIR/nuvasc/",
    "$TOOLBOXKAVRICDIR/oskarn/",
    "$TOOLBOXKAVRICDIR/ferrant/",
    "$TOOLBOXKAVRICDIR/wellick/",
    "$TOOLBOXKAVRICDIR/zennor/",
    "$TOOLBOXKAVRICDIR/harbek/",
    "$TOOLBOXKAVRICDIR/drovel/",
    "$TOOLBOXKAVRICDIR/maskel/",
    "$TOOLBOXKAVRICDIR/pentrow/",
    "$TOOLBOXKAVRICDIR/soldray/",
    "$TOOLBOXKAVRICDIR/cormish/",
    "$TOOLBOXKAVRICDIR/trelling/",
    "$TOOLBOXKAVRICDIR/yambel/",
    "$TOOLBOXKAVRICDIR/quorvik/",
    "$TOOLBOXKAVRICDIR/lasdon/",
    "$TOOLBOXKAVRICDIR/brenick/",
    "toolbox/ostrel/",
    "toolbox/vasquin/",
    "toolbox/parrow/",
};
const int32_t __KVC_dorvak_kavricpath_data_count = 34;

const char *const __KVC_dorvak_classpath_data[1] = {""};
const int32_t __KVC_dorvak_classpath_data_count = 0;

const char *const __KVC_dorvak_krt_application_options[1] = {""};
const int32_t __KVC_dorvak_krt_application_option_count = 0;

const char *const __KVC_dorvak_krt_runtime_options[1] = {""};
const int32_t __KVC_dorvak_krt_runtime_option_count = 0;
