# Writes the application's information dictionary, which the foundation bundle reads from
# "Resources/Info.plist" beside the executable. Regenerated whenever the project is configured,
# so the version strings always follow project(VERSION ...).
set(QM_BUNDLE_IDENTIFIER "org.quillmere.Quillmere" CACHE STRING "Bundle identifier of the application")
set(QM_BUNDLE_VERSION "${PROJECT_VERSION}" CACHE STRING "Build version (CFBundleVersion) of the application")
set(QM_FEEDBACK_URL "https://quillmere.org/feedback/submit" CACHE STRING "Where the feedback window posts its reports")

function(qm_write_info_plist destination)
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in" "${destination}" @ONLY)
endfunction()
