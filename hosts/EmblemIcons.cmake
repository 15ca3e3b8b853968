# Draws the emblem icons the file managers show: every badge at every size, as
#   OUTPUT_ROOT/hicolor/<size>x<size>/status/emblem-vantorix-<badge>.png
# where <badge> is the image name oi_<badge> of the extension's bundle. Run with
#   cmake -DBADGEGEN=... -DOUTPUT_ROOT=... -DSIZES=16,22,... -P EmblemIcons.cmake
string(REPLACE "," ";" SIZES "${SIZES}")
foreach(size IN LISTS SIZES)
  set(drawn ${OUTPUT_ROOT}/drawn-${size})
  set(emblems ${OUTPUT_ROOT}/hicolor/${size}x${size}/status)
  file(MAKE_DIRECTORY ${drawn} ${emblems})
  execute_process(COMMAND ${BADGEGEN} --size ${size} ${drawn} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "badgegen could not draw the ${size} pixel badges")
  endif()
  file(GLOB images ${drawn}/oi_*.png)
  foreach(image IN LISTS images)
    get_filename_component(name ${image} NAME)
    string(REGEX REPLACE "^oi_" "emblem-vantorix-" emblem ${name})
    file(RENAME ${image} ${emblems}/${emblem})
  endforeach()
  file(REMOVE_RECURSE ${drawn})
endforeach()
