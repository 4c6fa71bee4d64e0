# The Windows installer (.msi) of the MinGW cross-build, made with wixl from
# packaging/windows/gameserver.wxs by packaging/windows/build-msi.sh, which
# also checks the tables wixl wrote. Only where wixl and msiinfo (Debian
# packages wixl, msitools) are installed: GAMESERVER_MSI_MISSING says why not.
find_program(GAMESERVER_WIXL wixl)
find_program(GAMESERVER_MSIINFO msiinfo)
set(GAMESERVER_MSI_MISSING "")
if(NOT GAMESERVER_WIXL OR NOT GAMESERVER_MSIINFO)
  set(GAMESERVER_MSI_MISSING "wixl and msiinfo are not installed (Debian packages wixl, msitools)")
endif()

# gameserver_msi(TARGET VERSION OUTPUT): the target TARGET builds OUTPUT, the
# installer of release VERSION (MAJOR.MINOR.PATCH) with the gameserver.exe of
# this build.
function(gameserver_msi target version output)
  set(source_dir ${PROJECT_SOURCE_DIR}/packaging/windows)
  add_custom_command(OUTPUT ${output}
    COMMAND ${source_dir}/build-msi.sh ${source_dir}/gameserver.wxs $<TARGET_FILE:gameserver>
            ${PROJECT_SOURCE_DIR}/README.md ${version} ${CMAKE_STRIP} ${output}
    DEPENDS gameserver ${source_dir}/gameserver.wxs ${source_dir}/build-msi.sh ${PROJECT_SOURCE_DIR}/README.md
    VERBATIM)
  add_custom_target(${target} DEPENDS ${output})
endfunction()
