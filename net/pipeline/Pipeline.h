#pragma once
// The client's front door: module-level functions that forward to the same-named operations of
// the shared session manager, SessionManager::default_() (created on first use). The application
// downloads every remote hostfile through request(url): it gets a DataRequest back at once and
// registers its response handler on it; failures arrive through that handler.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/pipeline/SessionManager.h"

namespace pipeline {

std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                     const std::optional<Parameters>& parameters = std::nullopt,
                                     const ParameterEncoding& encoding = URLEncoding::default_(),
                                     const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);

std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                          const std::optional<Parameters>& parameters = std::nullopt,
                                          const ParameterEncoding& encoding = URLEncoding::default_(),
                                          const std::optional<HTTPHeaders>& headers = std::nullopt,
                                          DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                          DownloadDestination destination = nullptr);
std::shared_ptr<DownloadRequest> download(const foundation::Data& resumeData, DownloadDestination destination = nullptr);

std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLRequestConvertible& urlRequest);
std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream, const URLConvertible& url,
                                      HTTPMethod method = HTTPMethod::post,
                                      const std::optional<HTTPHeaders>& headers = std::nullopt);
std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream,
                                      const URLRequestConvertible& urlRequest);

// Multipart uploads; `encodingCompletion` runs on the main queue.
void upload(SessionManager::MultipartFormDataBuilder multipartFormData,
            std::uint64_t encodingMemoryThreshold, const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
            const std::optional<HTTPHeaders>& headers = std::nullopt,
            SessionManager::EncodingCompletion encodingCompletion = nullptr);
void upload(SessionManager::MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
            const URLRequestConvertible& urlRequest, SessionManager::EncodingCompletion encodingCompletion = nullptr);

std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port);

}  // namespace pipeline
