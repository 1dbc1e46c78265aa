# Where Debian's packages put the data the scripts use (scripts/deps.sh data
# installs them); tests/support/test_data.h names the same for the tests.
# Sourced by the scripts:  . "$root/scripts/data-paths.sh"
# shellcheck shell=bash disable=SC2034  # the variables are for the scripts that source this
TZ_SONGS_DIR=/usr/share/games/openttd/baseset/openmsx  # openttd-openmsx: the OpenMSX songs
TZ_TIMGM6MB_SF2=/usr/share/sounds/sf2/TimGM6mb.sf2     # timgm6mb-soundfont
TZ_FLUIDR3_SF2=/usr/share/sounds/sf2/FluidR3_GM.sf2    # fluid-soundfont-gm
