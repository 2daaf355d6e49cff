# The mobile queue benchmark sends to the same in-process fake gateway the
# tests use.
if(TARGET mobile_queue_bench)
  target_sources(mobile_queue_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/companions/fake_gateway.cpp)
endif()
