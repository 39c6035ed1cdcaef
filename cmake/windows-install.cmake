# The Windows program folder "OrgHarvester/": the program, the guide and a sample region
# list. scripts/windows/build.sh adds the DLLs, the Qt plugins, qt.conf and the translations
# and packs the zip.
set(ORGH_INSTALL_DIR OrgHarvester)
install(TARGETS orgharvester RUNTIME DESTINATION ${ORGH_INSTALL_DIR})
install(FILES packaging/cities.txt DESTINATION ${ORGH_INSTALL_DIR})
file(GLOB _guide "${CMAKE_SOURCE_DIR}/packaging/*.txt")
list(FILTER _guide EXCLUDE REGEX "cities\\.txt$")
install(FILES ${_guide} DESTINATION ${ORGH_INSTALL_DIR})
