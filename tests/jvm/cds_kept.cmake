# The agent library with find_symbol wrapped to find nothing: class data
# sharing cannot be switched off. Built beside each build of the library,
# the one for old C libraries (TARSIL_LIBRARY_ONLY) included.
add_library(tarsil_cds_kept SHARED $<TARGET_OBJECTS:tarsil_obj> ${CMAKE_CURRENT_LIST_DIR}/cds_kept.cpp)
target_link_libraries(tarsil_cds_kept PRIVATE ${TARSIL_CODEC_LIBRARY} ${TARSIL_SYSTEM_LIBRARIES})
target_link_options(tarsil_cds_kept PRIVATE -static-libstdc++ -static-libgcc -Wl,--wrap=_Z11find_symbolPKvPKc)
