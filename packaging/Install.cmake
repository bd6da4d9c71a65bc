# What `cmake --install` puts on a machine, and the Debian package that `cpack` (the `package`
# target) makes of it:
#
#   <prefix>/bin/                        the five programs (manual pages in share/man/)
#   <prefix>/lib/systemd/system/         the filter's service (not enabled, not started)
#   <prefix>/lib/sysusers.d/             the group tovrin
#   <prefix>/lib/tmpfiles.d/             the shared suite's folder /var/lib/tovrin/app-groups
#   <prefix>/lib/environment.d/          APP_GROUP_CONTAINERS_ROOT for user sessions and the
#   /etc/profile.d/                        browsers they start, and for login shells
#   <prefix>/share/tovrin/browser-extension/   the shipped extension (chromium/, firefox.xpi)
#   /etc/chromium/native-messaging-hosts/, /usr/lib/mozilla/native-messaging-hosts/
#                                        the handler's manifests for the shipped extension
#
# Files that name a program's path (the unit, the manifests) are written at install time, so
# they name the prefix actually installed to: /usr in the package, /usr/local by default.

include(GNUInstallDirs)

set(TOVRIN_PACKAGE_VERSION "0.1.0" CACHE STRING "Version of the Debian package")
set(TOVRIN_CHROMIUM_EXTENSION_ID "lnkkjibepcmpibihmkmedclmppnaoipj"
    CACHE STRING "ID of the shipped Chromium extension")
set(TOVRIN_FIREFOX_ADDON_ID "tovrinhelper@vorlane.com" CACHE STRING
    "ID of the shipped Firefox add-on")

# The native-messaging host name, as tovrinctl computes it: the bundle identifier in lower case
# with ".tovrinhelper", anything but letters, digits, "." and "_" turned into "_".
string(TOLOWER "${HOST_APP_BUNDLE_IDENTIFIER}.tovrinhelper" TOVRIN_NATIVE_MESSAGING_HOST)
string(REGEX REPLACE "[^a-z0-9._]" "_" TOVRIN_NATIVE_MESSAGING_HOST
       "${TOVRIN_NATIVE_MESSAGING_HOST}")

set(tovrin_packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set(tovrin_packaging_build_dir ${CMAKE_BINARY_DIR}/packaging)
set(tovrin_chromium_manifest_dir /etc/chromium/native-messaging-hosts)
set(tovrin_firefox_manifest_dir /usr/lib/mozilla/native-messaging-hosts)
set(tovrin_manifest_name ${TOVRIN_NATIVE_MESSAGING_HOST}.json)
set(tovrin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tovrin-helpers)

set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${tovrin_packaging_dir}/systemd/tovrin-content-filter.service
             ${tovrin_packaging_dir}/debian/changelog)

# Writes, under $DESTDIR, the unit and both manifests for programs in <prefix>/bin.
file(WRITE ${tovrin_packaging_build_dir}/InstallGenerated.cmake "
set(bindir \"\${CMAKE_INSTALL_PREFIX}/bin\")
set(unit_source \"${tovrin_packaging_dir}/systemd/tovrin-content-filter.service\")
set(unit_folder \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
set(host \"${TOVRIN_NATIVE_MESSAGING_HOST}\")
set(chromium_id \"${TOVRIN_CHROMIUM_EXTENSION_ID}\")
set(firefox_id \"${TOVRIN_FIREFOX_ADDON_ID}\")
set(chromium_folder \"${tovrin_chromium_manifest_dir}\")
set(firefox_folder \"${tovrin_firefox_manifest_dir}\")
")
file(APPEND ${tovrin_packaging_build_dir}/InstallGenerated.cmake [=[
file(READ "${unit_source}" text)
string(REPLACE "/usr/local/bin/" "${bindir}/" text "${text}")
file(WRITE "$ENV{DESTDIR}${unit_folder}/tovrin-content-filter.service" "${text}")
file(CHMOD "$ENV{DESTDIR}${unit_folder}/tovrin-content-filter.service"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
message(STATUS "Installing: $ENV{DESTDIR}${unit_folder}/tovrin-content-filter.service")

# The same manifest as `tovrinctl install-browser-host --system` writes for these IDs.
set(description "Tovrin helper: website blocking state and tracking of the active website")
foreach(browser chromium firefox)
    set(manifest "{}")
    string(JSON manifest SET "${manifest}" name "\"${host}\"")
    string(JSON manifest SET "${manifest}" description "\"${description}\"")
    string(JSON manifest SET "${manifest}" path "\"${bindir}/TovrinHelperSafariWebExtension\"")
    string(JSON manifest SET "${manifest}" type "\"stdio\"")
    if(browser STREQUAL "chromium")
        string(JSON manifest SET "${manifest}" allowed_origins
               "[\"chrome-extension://${chromium_id}/\"]")
    else()
        string(JSON manifest SET "${manifest}" allowed_extensions "[\"${firefox_id}\"]")
    endif()
    set(path "$ENV{DESTDIR}${${browser}_folder}/${host}.json")
    file(WRITE "${path}" "${manifest}\n")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS "Installing: ${path}")
endforeach()
]=])

# Maintainer scripts name the host's manifests; the changelog names the version.
foreach(script postinst prerm postrm)
    configure_file(${tovrin_packaging_dir}/debian/${script}
                   ${tovrin_packaging_build_dir}/debian/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
file(WRITE ${tovrin_packaging_build_dir}/debian/conffiles
     "/etc/profile.d/tovrin.sh\n${tovrin_chromium_manifest_dir}/${tovrin_manifest_name}\n")
configure_file(${tovrin_packaging_dir}/debian/changelog
               ${tovrin_packaging_build_dir}/changelog @ONLY)
# Debian wants it compressed reproducibly (no name, no time stamp).
add_custom_command(
    OUTPUT ${tovrin_packaging_build_dir}/changelog.gz
    COMMAND gzip -9 -n -c ${tovrin_packaging_build_dir}/changelog >
            ${tovrin_packaging_build_dir}/changelog.gz
    DEPENDS ${tovrin_packaging_build_dir}/changelog
    VERBATIM)
# One manual page for each program, compressed the same way.
set(tovrin_manual_pages TovrinHelperContentFilterExtension.8 TovrinHelperSafariWebExtension.1
                        tovrinctl.1 defaults.1 filter-replay.1)
set(tovrin_compressed_manual_pages)
foreach(page ${tovrin_manual_pages})
    set(compressed ${tovrin_packaging_build_dir}/man/${page}.gz)
    add_custom_command(
        OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${tovrin_packaging_build_dir}/man
        COMMAND gzip -9 -n -c ${tovrin_packaging_dir}/man/${page} > ${compressed}
        DEPENDS ${tovrin_packaging_dir}/man/${page}
        VERBATIM)
    list(APPEND tovrin_compressed_manual_pages ${compressed})
endforeach()
add_custom_target(tovrin_package_documents ALL
                  DEPENDS ${tovrin_packaging_build_dir}/changelog.gz
                          ${tovrin_compressed_manual_pages})

function(tovrin_install_programs)
    foreach(program TovrinHelperContentFilterExtension TovrinHelperSafariWebExtension tovrinctl
                    defaults filter-replay)
        if(TARGET ${program})
            install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        endif()
    endforeach()
    install(SCRIPT ${tovrin_packaging_build_dir}/InstallGenerated.cmake)

    install(FILES ${tovrin_packaging_dir}/sysusers.d/tovrin.conf DESTINATION lib/sysusers.d)
    install(FILES ${tovrin_packaging_dir}/tmpfiles.d/tovrin.conf DESTINATION lib/tmpfiles.d)
    install(FILES ${tovrin_packaging_dir}/environment.d/60-tovrin.conf
            DESTINATION lib/environment.d)
    install(FILES ${tovrin_packaging_dir}/profile.d/tovrin.sh DESTINATION /etc/profile.d)
    foreach(page ${tovrin_manual_pages})
        string(REGEX REPLACE ".*[.]" "" section ${page})
        install(FILES ${tovrin_packaging_build_dir}/man/${page}.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    install(FILES ${tovrin_packaging_dir}/debian/copyright
                  ${tovrin_packaging_build_dir}/changelog.gz
            DESTINATION ${tovrin_doc_dir})

    # The extension that the manifests admit, for loading into the browsers.
    if(TARGET browser_extension)
        install(DIRECTORY ${CMAKE_BINARY_DIR}/browser-extension/chromium/
                DESTINATION ${CMAKE_INSTALL_DATADIR}/tovrin/browser-extension/chromium)
        install(FILES ${CMAKE_BINARY_DIR}/browser-extension/firefox.xpi
                DESTINATION ${CMAKE_INSTALL_DATADIR}/tovrin/browser-extension)
    endif()
endfunction()
# Targets of folders configured later are looked up once the whole tree is configured.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tovrin_install_programs)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrin-helpers)
set(CPACK_PACKAGE_VERSION ${TOVRIN_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR Vorlane)
set(CPACK_PACKAGE_CONTACT "Vorlane <support@vorlane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "website blocker: content filter and browser helper")
set(CPACK_PACKAGE_DESCRIPTION
    "Blocks websites for the whole machine and tells a browser extension whether\n\
the site in its tab is blocked.\n\
\n\
The content filter, a systemd service, drops connections to blocked domains,\n\
reading the host from HTTP requests and TLS handshakes. The browser handler\n\
answers the shipped Chromium and Firefox extension through native messaging.\n\
tovrinctl publishes the policy and shows what the filter and the browsers\n\
recorded.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${tovrin_packaging_build_dir}/debian/postinst ${tovrin_packaging_build_dir}/debian/prerm
    ${tovrin_packaging_build_dir}/debian/postrm ${tovrin_packaging_build_dir}/debian/conffiles)
include(CPack)
