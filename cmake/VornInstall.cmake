# Helpers for installed files that Debian wants compressed: manual pages and
# changelogs.

# vorn_compressed(<file> <target>): <file>.gz, made by the target <target>,
# which every build makes. gzip -n leaves out the name and time stamp, so the
# same file always compresses to the same bytes.
function(vorn_compressed file target)
  add_custom_command(OUTPUT ${file}.gz
    COMMAND gzip -9nkf ${file}
    DEPENDS ${file} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${file}.gz)
endfunction()

# vorn_man_page(<page.1> <component>): the manual page with @PROJECT_VERSION@
# filled in, installed compressed into share/man/man1.
function(vorn_man_page source component)
  get_filename_component(name ${source} NAME)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name})
  configure_file(${source} ${page} @ONLY)
  vorn_compressed(${page} vorn_man_${name})
  install(FILES ${page}.gz DESTINATION share/man/man1 COMPONENT ${component})
endfunction()
