# Read by ctest after the discovered tests: the discovered tests of a minute or more, started first in a
# parallel run (ctest starts the costliest first; a fresh build tree has no timings yet).
foreach(name
    RtspClients.GstreamerDecodesAMinuteOfEachChannelWithoutAWarning
    DebianPackage.BuildsWithItsFilesAndFieldsAndItsProgramRuns)
  set_tests_properties(${name} PROPERTIES COST 1000)
endforeach()
