#include "service/luFailure.h"

const char* luFailureName(TLUFailure failure) {
    switch (failure) {
    case TLUFailure::None:
        return "none";
    case TLUFailure::NoToken:
        return "no-token";
    case TLUFailure::TokenRefused:
        return "token-refused";
    case TLUFailure::Unreachable:
        return "service-unreachable";
    case TLUFailure::ServiceFailed:
        return "service-failed";
    case TLUFailure::AnswerUnusable:
        return "answer-unusable";
    }
    return "none";
}
