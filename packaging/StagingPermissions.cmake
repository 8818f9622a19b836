# Run by CPack between staging the install and packing it (CPACK_PRE_BUILD_SCRIPTS).
# Folders made under a strict umask (077) would enter the package as drwx------;
# every folder in the package is 755, whatever the packager's umask.
if(IS_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
           GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
endif()
