# find_package(ualib CONFIG): ualib::ualib and the host library it links, ualib::tesselFndDefs.
# A host that brings its own host library defines ualib::tesselFndDefs before find_package.
include("${CMAKE_CURRENT_LIST_DIR}/ualibTesselTargets.cmake" OPTIONAL)
include("${CMAKE_CURRENT_LIST_DIR}/ualibTargets.cmake")
