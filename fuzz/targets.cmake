# One line per fuzz target: NAME SOURCE CORPUS LIBRARY [SEEDS], CORPUS a folder of fuzz/corpus/,
# SEEDS a further folder of seeds kept elsewhere in the tree (the real clients' captures are kept
# once, in tests/data/captures). The corpus replay test and scripts/run-fuzzers.sh read this list
# too. Targets whose source is not there yet are skipped.
set(TOVRIN_FUZZ_TARGETS
    "json_fuzzer|JSONFuzzer.cpp|json|foundation"
    "json_decoder_fuzzer|JSONDecoderFuzzer.cpp|json-decoder|foundation"
    "http_host_fuzzer|HTTPHostFuzzer.cpp|http-host|filter_logic|tests/data/captures"
    "tls_client_hello_fuzzer|TLSClientHelloFuzzer.cpp|tls-client-hello|filter_logic|tests/data/captures"
    "provider_fuzzer|FilterDataProviderFuzzer.cpp|provider|filter_logic"
    "native_message_fuzzer|NativeMessageFuzzer.cpp|native-message|safari_logic"
    "quic_initial_fuzzer|QUICInitialFuzzer.cpp|quic-initial|netfilter_flows|tests/data/captures"
    "url_fuzzer|URLFuzzer.cpp|url|foundation"
    "dns_answer_fuzzer|DNSAnswerFuzzer.cpp|dns-answer|netfilter_flows|tests/data/captures"
)

foreach(entry ${TOVRIN_FUZZ_TARGETS})
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 source)
    list(GET fields 3 library)
    if(EXISTS ${CMAKE_SOURCE_DIR}/fuzz/${source} AND TARGET ${library})
        if(COMMAND tovrin_add_fuzzer)
            tovrin_add_fuzzer(${name} ${CMAKE_SOURCE_DIR}/fuzz/${source} ${library})
        endif()
        if(COMMAND tovrin_add_corpus_replay)
            list(GET fields 2 corpus)
            set(seeds "")
            list(LENGTH fields fieldCount)
            if(fieldCount GREATER 4)
                list(GET fields 4 seeds)
            endif()
            tovrin_add_corpus_replay(${name} ${CMAKE_SOURCE_DIR}/fuzz/${source} ${corpus} ${library}
                                     "${seeds}")
        endif()
    endif()
endforeach()
