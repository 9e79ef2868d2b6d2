# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack between staging and packing the .deb: puts in what Debian asks
# of a package but a plain `cmake --install` has no use for. Manual pages are
# compressed, the copyright file and the changelog go to the package's doc
# folder. gzip -9n leaves out the name and time stamp so that the package is
# reproducible.
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${usr}/bin")
    message(FATAL_ERROR "deb_stage.cmake: no staged tree at ${usr}")
endif()

file(GLOB pages "${usr}/share/man/man[1-9]/*.[1-9]")
foreach(page IN LISTS pages)
    execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(CHMOD "${doc}" "${usr}/share/doc" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Not file(INSTALL): CPack's DESTDIR would be put in front of the path again.
file(COPY_FILE "${CPACK_KESTRIN_DEB_DATA}/copyright" "${doc}/copyright")
execute_process(COMMAND gzip -9n -c "${CPACK_KESTRIN_DEB_DATA}/changelog"
                OUTPUT_FILE "${doc}/changelog.Debian.gz" COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD "${doc}/copyright" "${doc}/changelog.Debian.gz"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
