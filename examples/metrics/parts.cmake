# dvr_metrics_parts: the metrics plugin without its entry points, for the
# plugin, its tests and its fuzz target (which builds it without the
# examples). Needs Boost::headers and Threads::Threads.
set(_dvr_metrics_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(dvr_metrics_parts STATIC
  ${_dvr_metrics_dir}/documents.cpp ${_dvr_metrics_dir}/exposition.cpp
  ${_dvr_metrics_dir}/http_server.cpp ${_dvr_metrics_dir}/process_stats.cpp)
target_include_directories(dvr_metrics_parts PUBLIC ${_dvr_metrics_dir})
target_compile_definitions(dvr_metrics_parts PUBLIC _FILE_OFFSET_BITS=64
  BOOST_ASIO_NO_DEPRECATED BOOST_BEAST_USE_STD_STRING_VIEW)
target_link_libraries(dvr_metrics_parts PUBLIC Boost::headers Threads::Threads)
set_target_properties(dvr_metrics_parts PROPERTIES POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
