# Draws the emblem icons the file managers show: every badge at every size, and at twice each size for screens
# scaled by 2 (the icon theme's "@2" folders, drawn at their own pixel size rather than enlarged), as
#   OUTPUT_ROOT/hicolor/<size>x<size>/status/emblem-vantorix-<badge>.png
#   OUTPUT_ROOT/hicolor/<size>x<size>@2/status/emblem-vantorix-<badge>.png   (2 x <size> pixels)
# where <badge> is the image name oi_<badge> of the extension's bundle. Run with
#   cmake -DBADGEGEN=... -DOUTPUT_ROOT=... -DSIZES=16,22,... -P EmblemIcons.cmake
string(REPLACE "," ";" SIZES "${SIZES}")
foreach(size IN LISTS SIZES)
  math(EXPR double "${size} * 2")
  foreach(drawing "${size};${size}x${size}" "${double};${size}x${size}@2")
    list(GET drawing 0 pixels)
    list(GET drawing 1 folder)
    set(drawn ${OUTPUT_ROOT}/drawn-${folder})
    set(emblems ${OUTPUT_ROOT}/hicolor/${folder}/status)
    file(MAKE_DIRECTORY ${drawn} ${emblems})
    execute_process(COMMAND ${BADGEGEN} --size ${pixels} ${drawn} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "badgegen could not draw the ${pixels} pixel badges")
    endif()
    file(GLOB images ${drawn}/oi_*.png)
    foreach(image IN LISTS images)
      get_filename_component(name ${image} NAME)
      string(REGEX REPLACE "^oi_" "emblem-vantorix-" emblem ${name})
      file(RENAME ${image} ${emblems}/${emblem})
    endforeach()
    file(REMOVE_RECURSE ${drawn})
  endforeach()
endforeach()
