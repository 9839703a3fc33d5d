#pragma once

// The yes/no tests every state and task applies to a failure before it decides how to go on. They keep
// no state and never throw; the Service forwards its members of the same names to them (call them as
// agent::IsNetworkError inside the Service, where the member would hide the free function).

#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "outside/error/error.h"

namespace zelko::plenar::agent {

bool IsEnrollmentError6(const shared::error::Error& error);
bool IsEnrollmentCertMissingError(const shared::error::Error& error);
bool IsEnrollmentCertReadError(const shared::error::Error& error);
bool IsEnrollmentError13(const shared::error::Error& error);
bool IsEnrollmentNotFoundError(const shared::error::Error& error);
bool IsSlowInternetError(const shared::error::Error& error);
bool IsDataReachedLimitError(const shared::error::Error& error);
bool IsNetworkError(const shared::error::Error& error);
bool IsAwsInternetConnectionError(const shared::error::Error& error);
bool IsIotHttpError(const shared::error::Error& error);
bool IsGatewayTimeoutError(const shared::error::Error& error);
bool IsBadRequestError(const shared::error::Error& error);
bool IsAttestationServerError(const shared::error::Error& error);
bool IsAttestationLocalError(const shared::error::Error& error);
bool IsRateLimitedError(const shared::error::Error& error);
bool IsProxyError(const shared::error::Error& error);
bool IsUnauthorizedError(const shared::error::Error& error);
bool IsAuthError(const shared::error::Error& error);
bool IsEnrollmentErrorsCode0(const shared::error::Error& error);
bool IsEnrollmentErrorsCode1(const shared::error::Error& error);
bool IsEnrollmentErrorType(const shared::error::Error& error);
bool IsTlsError(const shared::error::Error& error);
bool IsIotDeviceError(const shared::error::Error& error);
bool IsError5138(const shared::error::Error& error);

// The first AWS error name in a text: "AWS_" at the start of a word, up to the end of that word
// (what the pattern \bAWS_\w+\b finds first); empty when there is none.
std::string ExtractAwsErrorToken(std::string_view text);

// The AWS input/output error names the AWS tests accept, looked up by exact match. Filled once, while
// the program loads.
const std::unordered_set<std::string_view>& AwsErrorNames();
// The same names in their fixed order.
std::span<const std::string_view> AwsErrorNameList();

}  // namespace zelko::plenar::agent
