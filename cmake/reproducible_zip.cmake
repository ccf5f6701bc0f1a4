# Run by CPack once the Windows zip is made. libarchive stores each member's
# access and change times, which differ from one build to the next, so the
# zip is written again with Info-ZIP: members sorted, each with one fixed
# modification time (SOURCE_DATE_EPOCH, or the release's date) and no extra
# fields, so that two builds of one commit give the same zip.
set(stamp "$ENV{SOURCE_DATE_EPOCH}")
if(stamp STREQUAL "")
  set(stamp 1796774400)  # 2026-12-09, the date of release 1.8.0
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  set(dir "${zip}.members")
  file(REMOVE_RECURSE "${dir}")
  file(MAKE_DIRECTORY "${dir}")
  execute_process(COMMAND unzip -q "${zip}" -d "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB members RELATIVE "${dir}" "${dir}/*")
  list(SORT members)
  foreach(member IN LISTS members)
    execute_process(COMMAND touch -d "@${stamp}" "${dir}/${member}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  file(REMOVE "${zip}")
  execute_process(COMMAND env TZ=UTC zip -X -D -q -9 "${zip}" ${members}
                  WORKING_DIRECTORY "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${dir}")
endforeach()
